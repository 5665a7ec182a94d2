#pragma once
// The message catalogue: every run-time text of the program, in English, Russian and
// German. Message n of language L has the identifier 10000 + 1000 * L + n; the code names
// messages by their English identifier and the catalogue answers in the loaded language.
#include <array>
#include <cstdint>
#include <string>

namespace clw {

enum TLanguage : uint32_t { langEnglish = 0, langRussian = 1, langGerman = 2 };

// English identifiers of the messages the program shows.
enum TMessageId : int32_t {
  msgOpenTitle = 10001,
  msgSaveTitle = 10002,
  msgFileNotFound = 10003,
  msgCannotOpen = 10004,
  msgReadError = 10005,
  msgUnknownFormat = 10006,
  msgCannotWrite = 10007,
  msgNotAvi = 10008,
  msgUnknown = 10009,
  msgNotSpecified = 10010,
  msgChooseVideo = 10011,
  msgErrorCaption = 10012,
  msgCheckAndRepair = 10013,
  msgRepair = 10014,
  msgChecking = 10015,
  msgRepairing = 10016,
  msgCancel = 10017,
  msgCancelled = 10018,
  msgRepaired = 10019,
  msgSameAsInput = 10020,
  msgWrongData = 10021,
  msgWrongIndex = 10022,
  msgNoErrors = 10023,
  msgProbablyOk = 10024,
  msgExcept = 10025,
  msgFps = 10026,
  msgAudioStreams = 10027,
  msgAviFiles = 10028,
  msgAllFiles = 10029,
  msgLanguageNextTime = 10030,
  msgVisitSite = 10031,
  msgMpeg4Files = 10032,
  msgVideoFiles = 10033,
  msgReferenceQuestion = 10034,
  msgNotRepaired = 10035,
  msgRepairedWithoutSound = 10036,
  msgReferenceUnusable = 10037,
  msgReferenceNotH264 = 10038,
  msgOutputNotWritten = 10039, // followed by ": " and the system's reason
};

class TMessages {
public:
  static constexpr int32_t kCount = 39;

  // Loads the texts of one language; a language above 2 loads English.
  explicit TMessages(uint32_t Language = langEnglish);

  uint32_t Language() const { return FLanguage; }
  // Text by English identifier (10001..10039); an unknown identifier gives "".
  const std::string& Text(int32_t EnglishId) const;
  const std::string& operator[](int32_t EnglishId) const { return Text(EnglishId); }

  // The identifier of message n in a language, as stored in the catalogue.
  static int32_t Identifier(uint32_t Language, int32_t N) {
    return 10000 + 1000 * int32_t(Language) + N;
  }
  // Looks an identifier of any language up in the built-in tables; unknown ids give "".
  static const char* Resource(int32_t Identifier);

private:
  uint32_t FLanguage;
  std::array<std::string, kCount> FTexts;
};

} // namespace clw
