#include "app/Messages.h"

#include <gtest/gtest.h>

namespace clw {
namespace {

TEST(MessagesTest, EveryLanguageHasEveryMessage) {
  for (uint32_t language : {langEnglish, langRussian, langGerman})
    for (int32_t n = 1; n <= TMessages::kCount; ++n)
      EXPECT_STRNE(TMessages::Resource(TMessages::Identifier(language, n)), "")
          << language << " " << n;
}

TEST(MessagesTest, IdentifiersSelectTheLanguageBlock) {
  EXPECT_STREQ(TMessages::Resource(10018), "Operation is canceled");
  EXPECT_STREQ(TMessages::Resource(11018), "Операция отменена");
  EXPECT_STREQ(TMessages::Resource(12018), "Die Operation ist abgebrochen");
  EXPECT_STREQ(TMessages::Resource(10035), "The file could not be repaired.");
  EXPECT_STREQ(TMessages::Resource(11035), "Не удалось восстановить файл.");
  EXPECT_STREQ(TMessages::Resource(12035), "Die Datei konnte nicht wiederhergestellt werden.");
  for (int32_t id : {10000, 10040, 13001, 9999, 11000})
    EXPECT_STREQ(TMessages::Resource(id), "");
}

TEST(MessagesTest, LoadedLanguageAnswersEnglishIdentifiers) {
  const TMessages russian(langRussian), german(langGerman), fallback(7);
  EXPECT_EQ(russian[msgCheckAndRepair], "&Проверить и восстановить");
  EXPECT_EQ(german[msgRepair], "&Wieder herzustellen!");
  EXPECT_EQ(fallback.Language(), uint32_t(langEnglish));
  EXPECT_EQ(fallback[msgProbablyOk],
            "Probably OK (no errors found, press \"Check Errors\" to detect)");
  // The language notice is the same English sentence in every block.
  EXPECT_EQ(russian[msgLanguageNextTime], fallback[msgLanguageNextTime]);
  EXPECT_EQ(german[msgLanguageNextTime], fallback[msgLanguageNextTime]);
  EXPECT_EQ(german[msgReferenceQuestion].substr(german[msgReferenceQuestion].size() - 22),
            "Machen Sie es  wollen?");
}

} // namespace
} // namespace clw
