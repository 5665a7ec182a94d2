#include "app/RepairJob.h"

#include "FakeJobParts.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace clw::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kAviBytes = std::string("RIFF\x10\0\0\0AVI LIST", 16);
const std::string kMp4Bytes = std::string("\0\0\0\x14"
                                          "ftypisom\0\0\0\0isom",
                                          20);

class RepairJobTest : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = ScratchDir();
    Job.Tick = [this] { return Clock += 10; };
  }

  std::string Make(const std::string& Name, const std::string& Bytes, TScript Script = {}) {
    const std::string path = (Dir / Name).string();
    WriteFile(path, Bytes);
    Log.Scripts[path] = Script;
    return path;
  }
  void OpenSingle(const std::string& Path) {
    Job.InputFileName = Path;
    Job.OpenInput(false);
  }
  void SelectFiles(std::vector<std::string> Names) {
    View.InputSelection = TFileSelection{Dir.string(), std::move(Names)};
    Job.OpenInput(true);
  }
  std::string Text(int32_t Id) { return View.Texts[Id]; }
  // Files of the folder that carry the temporary suffix.
  std::vector<std::string> Temporaries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Dir))
      if (entry.path().string().ends_with(".partial"))
        names.push_back(entry.path().filename().string());
    return names;
  }

  fs::path Dir;
  uint32_t Clock = 1000;
  TFakeLog Log;
  TFormatRegistry Formats = FakeFormats(Log);
  TMessages Messages{langEnglish};
  TFakeView View;
  TRepairJob Job{View, Messages, Formats};
};

TEST_F(RepairJobTest, OpeningUndamagedFileOffersTheFullCheck) {
  OpenSingle(Make("clip.avi", kAviBytes, {.Description = "XviD"}));
  EXPECT_EQ(Text(204), "Probably OK (no errors found, press \"Check Errors\" to detect)");
  EXPECT_EQ(Text(203), "XviD, 320x240, 25 fps; 1 audio stream(s)");
  EXPECT_EQ(Text(106), "Check && &Repair!");
  EXPECT_EQ(Text(205), "");
  EXPECT_EQ(Text(202), (Dir / "clip (copy).avi").string());
  EXPECT_THAT(View.EnabledButtons(), ElementsAre(101, 102, 105, 106));
  EXPECT_TRUE(View.IsEnabled(203) && View.IsEnabled(204) && View.IsEnabled(202));
  EXPECT_EQ(Job.JobMode, jmOpened);
  EXPECT_EQ(Job.LogFileName, "clip.log");
}

TEST_F(RepairJobTest, OpeningDamagedFileOffersTheRepair) {
  OpenSingle(Make("clip.mp4", kMp4Bytes, {.QuickVerdict = kDamagedData}));
  EXPECT_EQ(Text(204), "The file is damaged: wrong data.");
  EXPECT_EQ(Text(203), "Mpeg 4");
  EXPECT_EQ(Text(106), "&Repair!");
  EXPECT_THAT(View.EnabledButtons(), ElementsAre(101, 102, 106));
}

// The Save dialog offers names of the input's own format: an MP4 repair is no AVI file.
TEST_F(RepairJobTest, SaveDialogOffersTheInputsFormat) {
  for (const auto& [name, bytes, pattern] : {std::tuple{"clip.mp4", kMp4Bytes, "*.mov;*.mp4"},
                                             std::tuple{"clip.avi", kAviBytes, "*.AVI"}}) {
    OpenSingle(Make(name, bytes, {.QuickVerdict = kDamagedData}));
    View.Requests.clear();
    Job.ChooseOutputFile();
    ASSERT_EQ(View.Requests.size(), 1u) << name;
    ASSERT_FALSE(View.Requests[0].Filters.empty());
    EXPECT_EQ(View.Requests[0].Filters[0].Patterns.rfind(pattern, 0), 0u) << name;
  }
}

TEST_F(RepairJobTest, AviWithoutCodecDescriptionShowsItsHandler) {
  OpenSingle(Make("clip.avi", kAviBytes));
  EXPECT_EQ(Text(203), "XVID, 320x240, 25 fps; 1 audio stream(s)");
}

TEST_F(RepairJobTest, QuickAnalysisThatRaisesLeavesOnlyInputFile) {
  OpenSingle(Make("clip.avi", kAviBytes, {.ThrowOnQuick = true}));
  EXPECT_EQ(Text(204), "Except!");
  EXPECT_EQ(Text(205), "");
  EXPECT_THAT(View.EnabledButtons(), ElementsAre(101));
  EXPECT_EQ(Job.Reports.at(0).Check, TFileReport::chkFailed);
}

TEST_F(RepairJobTest, UnreadableSingleFileIsToldAsSuch) {
  Job.InputFileName = (Dir / "missing.avi").string();
  Job.OpenInput(false);
  EXPECT_EQ(Text(203), "The file is not found");
  OpenSingle(Make("notes.txt", "just some text, no video"));
  EXPECT_EQ(Text(203), "Unknown or Unsupported video format");
  EXPECT_THAT(View.EnabledButtons(), ElementsAre(101));
  EXPECT_TRUE(View.IsEnabled(203) && View.IsEnabled(103));
}

TEST_F(RepairJobTest, CheckWithoutDamageReleasesTheReader) {
  OpenSingle(Make("clip.avi", kAviBytes));
  Job.CheckCommand();
  EXPECT_EQ(Text(204), "OK, no errors found");
  EXPECT_EQ(Text(106), "&Repair!");
  EXPECT_THAT(View.EnabledButtons(), ElementsAre(101));
  EXPECT_FALSE(View.IsEnabled(202));
  EXPECT_EQ(Job.Reader, nullptr);
  EXPECT_EQ(Job.JobMode, jmChecked);
}

TEST_F(RepairJobTest, CheckFindingDamageOffersTheRepair) {
  OpenSingle(Make("clip.avi", kAviBytes, {.CheckVerdict = kDamagedIndex}));
  Job.CheckCommand();
  EXPECT_EQ(Text(204), "The file is damaged: wrong index.");
  EXPECT_THAT(View.EnabledButtons(), ElementsAre(101, 102, 106));
  EXPECT_EQ(Text(106), "&Repair!");
  EXPECT_EQ(Job.Reports.at(0).Error, kDamagedIndex);
}

TEST_F(RepairJobTest, CheckOfMp4RunsQuickThenTheModeItsVerdictCallsFor) {
  const auto damaged = Make("a.mp4", kMp4Bytes, {.QuickVerdict = kDamagedData});
  const auto whole = Make("b.mp4", kMp4Bytes);
  OpenSingle(damaged);
  Job.CheckCommand();
  OpenSingle(whole);
  Job.CheckCommand();
  std::vector<std::string> analyses;
  for (const auto& call : Log.Calls)
    if (call.rfind("analyze", 0) == 0) analyses.push_back(call.substr(0, 9));
  EXPECT_THAT(analyses, ElementsAre("analyze 0", "analyze 0", "analyze 3", "analyze 0", "analyze 0",
                                    "analyze 2"));
}

TEST_F(RepairJobTest, CheckThatRaisesIsNotReportedAsClean) {
  OpenSingle(Make("clip.avi", kAviBytes, {.ThrowOnCheck = true}));
  Job.CheckCommand();
  EXPECT_EQ(Text(204), "Except!");
  EXPECT_EQ(Job.JobMode, jmOpened);
  EXPECT_EQ(Job.Reports.at(0).Check, TFileReport::chkFailed);
}

TEST_F(RepairJobTest, CancelDuringCheck) {
  OpenSingle(Make("clip.avi", kAviBytes, {.CheckVerdict = kDamagedData}));
  Log.DuringWork = [this] { Job.ActionCommand(); }; // the Cancel button, through the pump
  Job.CheckCommand();
  EXPECT_EQ(Text(205), "Operation is canceled");
  EXPECT_EQ(Text(204), "Operation is canceled"); // not the quick analysis's verdict
  EXPECT_EQ(Job.Reports.at(0).Check, TFileReport::chkCancelled);
  EXPECT_EQ(Text(106), "Check && &Repair!");
  EXPECT_THAT(View.EnabledButtons(), ElementsAre(101, 102, 105, 106));
  EXPECT_EQ(Job.JobMode, jmOpened);
  EXPECT_TRUE(Job.Reader->Cancelled);
  EXPECT_FALSE(Job.CancelRequested);
}

TEST_F(RepairJobTest, RepairOfOneFileWritesTheCopy) {
  const auto input = Make("clip.avi", kAviBytes, {.CheckVerdict = kDamagedData});
  OpenSingle(input);
  Job.ActionCommand();
  EXPECT_EQ(Text(204), "The file is repaired!");
  EXPECT_EQ(Text(205), "");
  EXPECT_EQ(ReadFile(Dir / "clip (copy).avi"), "REPAIRED");
  EXPECT_THAT(Temporaries(), IsEmpty());
  EXPECT_EQ(ReadFile(input), kAviBytes);
  EXPECT_FALSE(View.IsEnabled(106));
  EXPECT_EQ(Job.Reader, nullptr);
  EXPECT_EQ(Job.Reports.at(0).Repair, TFileReport::repDone);
}

TEST_F(RepairJobTest, UndamagedFileIsNotRepaired) {
  OpenSingle(Make("clip.avi", kAviBytes));
  Job.ActionCommand();
  EXPECT_EQ(Text(204), "OK, no errors found");
  EXPECT_FALSE(fs::exists(Dir / "clip (copy).avi"));
  EXPECT_FALSE(Job.CancelRequested);
}

TEST_F(RepairJobTest, CancelDuringRepairLeavesNoOutput) {
  OpenSingle(Make("clip.avi", kAviBytes, {.CheckVerdict = kDamagedData}));
  Job.CheckCommand();
  Log.DuringWork = [this] {
    if (Job.JobMode == jmRepairing) Job.ActionCommand();
  };
  Job.ActionCommand();
  EXPECT_EQ(Text(205), "Operation is canceled");
  EXPECT_NE(Text(204), "The file is repaired!");
  EXPECT_FALSE(fs::exists(Dir / "clip (copy).avi"));
  EXPECT_THAT(Temporaries(), IsEmpty());
  EXPECT_EQ(Job.Reports.at(0).Repair, TFileReport::repCancelled);
  EXPECT_FALSE(Job.CancelRequested);
}

struct TWriteFailure {
  const char* Name;
  TScript Script;
};

class FailedWriteTest : public RepairJobTest,
                        public ::testing::WithParamInterface<TWriteFailure> {};

TEST_P(FailedWriteTest, IsReportedAndLeavesNoOutput) {
  TScript script = GetParam().Script;
  script.CheckVerdict = kDamagedData;
  OpenSingle(Make("clip.avi", kAviBytes, script));
  WriteFile(Dir / "clip (copy).avi", "an earlier good copy");
  Job.ActionCommand();
  EXPECT_EQ(Text(204), "The file could not be repaired.");
  EXPECT_EQ(ReadFile(Dir / "clip (copy).avi"), "an earlier good copy");
  EXPECT_THAT(Temporaries(), IsEmpty());
  EXPECT_EQ(Job.Reports.at(0).Repair, TFileReport::repFailed);
}

INSTANTIATE_TEST_SUITE_P(Writes, FailedWriteTest,
                         ::testing::Values(TWriteFailure{"raised", {.ThrowOnWrite = true}},
                                           TWriteFailure{"returned_minus_one",
                                                         {.WriteResult = kCancelled}}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(RepairJobTest, BatchRepairsOnlyDamagedFilesEachWithItsOwnKind) {
  Make("a.avi", kAviBytes, {.CheckVerdict = kDamagedData});
  Make("b.avi", kAviBytes);
  Make("c.mp4", kMp4Bytes, {.CheckVerdict = kDamagedData});
  SelectFiles({"a.avi", "b.avi", "c.mp4"});
  EXPECT_EQ(Text(201), "[3] " + (Dir / "a.avi").string() + ", \xE2\x80\xA6");
  EXPECT_EQ(Text(204), "[Unknown]"); // a batch shows no single verdict
  Job.ActionCommand();
  std::vector<std::string> writes;
  for (const auto& call : Log.Calls)
    if (call.rfind("write", 0) == 0) writes.push_back(fs::path(call).filename().string());
  EXPECT_THAT(writes, ElementsAre("a.avi", "c.mp4"));
  EXPECT_TRUE(fs::exists(Dir / "a (copy).avi"));
  EXPECT_FALSE(fs::exists(Dir / "b (copy).avi"));
  EXPECT_TRUE(fs::exists(Dir / "c (copy).mp4"));
  EXPECT_NE(std::find(Log.Calls.begin(), Log.Calls.end(), "write MP4 " + (Dir / "c.mp4").string()),
            Log.Calls.end());
  EXPECT_EQ(Text(205), "");
}

TEST_F(RepairJobTest, BatchShowsThePositionOfTheFileAtWork) {
  Make("a.avi", kAviBytes, {.CheckVerdict = kDamagedData});
  Make("b.avi", kAviBytes, {.CheckVerdict = kDamagedData});
  std::vector<std::string> activity;
  Log.DuringWork = [&] { activity.push_back(Text(205)); };
  SelectFiles({"a.avi", "b.avi"});
  Job.ActionCommand();
  activity.erase(std::unique(activity.begin(), activity.end()), activity.end());
  EXPECT_THAT(activity, ElementsAre("[1/2] Checking...", "[1/2] Repairing...", "[2/2] Checking...",
                                    "[2/2] Repairing..."));
}

TEST_F(RepairJobTest, SelectionDropsUnusableFilesAndOpensTheFirstUsableOne) {
  Make("notes.txt", "nothing to see here at all");
  Make("b.avi", kAviBytes, {.QuickVerdict = kDamagedData});
  SelectFiles({"notes.txt", "b.avi"});
  EXPECT_EQ(Job.FileCount(), 1u);
  EXPECT_EQ(Job.InputFileName, (Dir / "b.avi").string());
  EXPECT_EQ(Log.Calls.at(0), "reader AVI " + (Dir / "b.avi").string());
  EXPECT_EQ(Text(204), "The file is damaged: wrong data.");
}

TEST_F(RepairJobTest, CancelStopsTheBatchBeforeTheNextFile) {
  Make("a.avi", kAviBytes, {.CheckVerdict = kDamagedData});
  Make("b.avi", kAviBytes, {.CheckVerdict = kDamagedData});
  SelectFiles({"a.avi", "b.avi"});
  Log.DuringWork = [this] {
    if (Job.JobMode == jmRepairing) Job.ActionCommand();
  };
  Job.ActionCommand();
  EXPECT_EQ(Text(205), "Operation is canceled");
  EXPECT_FALSE(fs::exists(Dir / "a (copy).avi"));
  for (const auto& call : Log.Calls)
    EXPECT_EQ(call.find("b.avi"), std::string::npos) << call;
}

class SameFileTest : public RepairJobTest {
protected:
  void SetUp() override {
    RepairJobTest::SetUp();
    Input = Make("clip.avi", kAviBytes, {.CheckVerdict = kDamagedData});
    OpenSingle(Input);
  }
  void ExpectRefused() {
    ASSERT_EQ(View.Messages.size(), 1u);
    EXPECT_EQ(View.Messages[0],
              "Error: Output file name must not be the same as the name of input file.");
    EXPECT_EQ(ReadFile(Input), kAviBytes);
  }
  std::string Input;
};

TEST_F(SameFileTest, DialogRefusesAnotherSpellingOfTheInput) {
  View.OutputChoice = (Dir / "." / "clip.avi").string();
  const std::string before = Job.OutputFileName;
  Job.ChooseOutputFile();
  ExpectRefused();
  EXPECT_EQ(Job.OutputFileName, before);
}

TEST_F(SameFileTest, RepairRefusesAnOutputThatIsALinkToTheInput) {
  fs::create_symlink(Input, Dir / "clip (copy).avi");
  Job.ActionCommand();
  ExpectRefused();
  EXPECT_EQ(Text(204), "The file could not be repaired.");
  EXPECT_TRUE(fs::is_symlink(Dir / "clip (copy).avi"));
}

// Temporaries a killed run left (or links planted under such names) belong to no one here.
TEST_F(SameFileTest, StaleTemporariesAreLeftAlone) {
  WriteFile(Dir / "elsewhere.avi", "keep me");
  fs::create_symlink(Dir / "elsewhere.avi", Dir / "clip (copy).avi.partial");
  WriteFile(Dir / "clip (copy).avi.12345-0badf00d.partial", "half a copy");
  Job.ActionCommand();
  EXPECT_EQ(ReadFile(Dir / "elsewhere.avi"), "keep me");
  EXPECT_EQ(ReadFile(Dir / "clip (copy).avi"), "REPAIRED");
  EXPECT_THAT(Temporaries(),
              ::testing::UnorderedElementsAre("clip (copy).avi.partial",
                                              "clip (copy).avi.12345-0badf00d.partial"));
}

struct TExistingCopy {
  const char* Name;
  bool Replace;
  std::vector<std::string> Existing;
  std::string Written;
};

class ExistingCopyTest : public RepairJobTest,
                         public ::testing::WithParamInterface<TExistingCopy> {};

TEST_P(ExistingCopyTest, IsKeptUnlessReplacingIsAsked) {
  OpenSingle(Make("clip.avi", kAviBytes, {.CheckVerdict = kDamagedData}));
  for (const auto& name : GetParam().Existing)
    WriteFile(Dir / name, "earlier " + name);
  Job.ReplaceExisting = GetParam().Replace;
  Job.ActionCommand();
  const std::string written = (Dir / GetParam().Written).string();
  EXPECT_EQ(ReadFile(written), "REPAIRED");
  EXPECT_EQ(Job.Reports.at(0).OutputFileName, written);
  EXPECT_EQ(Text(202), written);
  for (const auto& name : GetParam().Existing)
    if (name != GetParam().Written) {
      EXPECT_EQ(ReadFile(Dir / name), "earlier " + name);
    }
  EXPECT_THAT(Temporaries(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Names, ExistingCopyTest,
    ::testing::Values(
        TExistingCopy{
            "taken_twice", false, {"clip (copy).avi", "clip (copy 2).avi"}, "clip (copy 3).avi"},
        TExistingCopy{
            "gap_is_taken", false, {"clip (copy).avi", "clip (copy 3).avi"}, "clip (copy 2).avi"},
        TExistingCopy{"replaced", true, {"clip (copy).avi"}, "clip (copy).avi"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(RepairJobTest, OutputThatCannotBeWrittenSaysWhy) {
  const auto input = Make("clip.avi", kAviBytes, {.CheckVerdict = kDamagedData});
  fs::create_directories(Dir / "out");
  Job.OutputDirectory = (Dir / "out").string() + "/";
  OpenSingle(input);
  fs::remove(Dir / "out");
  Job.ActionCommand();
  EXPECT_EQ(Text(204), "The repaired copy could not be written: No such file or directory");
  EXPECT_EQ(Job.Reports.at(0).Repair, TFileReport::repWriteFailed);
  EXPECT_EQ(Job.Reports.at(0).OutputError, ENOENT);
}

TEST_F(RepairJobTest, ChosenOutputNameIsUsed) {
  OpenSingle(Make("clip.avi", kAviBytes, {.CheckVerdict = kDamagedData}));
  fs::create_directories(Dir / "out");
  View.OutputChoice = (Dir / "out" / "fixed.avi").string();
  Job.ChooseOutputFile();
  EXPECT_EQ(Job.OutputDirectory, (Dir / "out").string() + "/");
  EXPECT_EQ(View.Requests.back().Title, "Save file - CLW");
  Job.ActionCommand();
  EXPECT_EQ(ReadFile(Dir / "out" / "fixed.avi"), "REPAIRED");
}

TEST_F(RepairJobTest, ReferenceIsAskedForAnalysedAndKeptAcrossTheBatch) {
  const auto reference = Make("ref.mp4", kMp4Bytes);
  Make("a.mp4", kMp4Bytes, {.CheckVerdict = kDamagedData, .NeedsReference = true});
  Make("b.mp4", kMp4Bytes, {.CheckVerdict = kDamagedData, .NeedsReference = true});
  View.YesNoAnswer = true;
  View.ReferenceChoice = reference;
  SelectFiles({"a.mp4", "b.mp4"});
  Job.ActionCommand();
  ASSERT_EQ(Log.ReferencesSeen.size(), 2u);
  EXPECT_NE(Log.ReferencesSeen[0], nullptr);
  EXPECT_EQ(Log.ReferencesSeen[0], Log.ReferencesSeen[1]); // the same reader, kept
  EXPECT_EQ(View.Questions.size(), 1u);
  EXPECT_NE(std::find(Log.Calls.begin(), Log.Calls.end(), "analyze 0 " + reference),
            Log.Calls.end());
}

// A reference that cannot serve is refused with its reason, and the repair goes on without;
// a copy that had to leave its sound out says so.
TEST_F(RepairJobTest, RefusedReferenceIsToldAndACopyWithoutSoundSaysSo) {
  const auto reference = Make("ref.mp4", kMp4Bytes, {.ReferenceRefusal = 2});
  Make("a.mp4", kMp4Bytes,
       {.CheckVerdict = kDamagedData, .NeedsReference = true, .WithoutSound = true});
  View.YesNoAnswer = true;
  View.ReferenceChoice = reference;
  OpenSingle((Dir / "a.mp4").string());
  Job.ActionCommand();
  ASSERT_EQ(Log.ReferencesSeen.size(), 1u);
  EXPECT_EQ(Log.ReferencesSeen[0], nullptr);
  ASSERT_EQ(View.Messages.size(), 1u);
  EXPECT_EQ(View.Messages[0], "Error: This reference file cannot be used: its video is not H.264.");
  EXPECT_EQ(View.Texts[ctlStatusLine], "The file is repaired, without its sound.");
}

TEST_F(RepairJobTest, DeclinedReferenceLeavesTheWriterWithout) {
  Make("a.mp4", kMp4Bytes, {.CheckVerdict = kDamagedData, .NeedsReference = true});
  OpenSingle((Dir / "a.mp4").string());
  Job.ActionCommand();
  ASSERT_EQ(Log.ReferencesSeen.size(), 1u);
  EXPECT_EQ(Log.ReferencesSeen[0], nullptr);
  EXPECT_TRUE(View.Requests.empty());
}

TEST_F(RepairJobTest, ProgressIsThrottledToOneUpdateEvery5Ms) {
  uint32_t now = 0xFFFFFFF0u; // about to wrap
  Job.Tick = [&] { return now; };
  Job.LastProgressTick = now - 5;
  Job.ProgressHandler(nullptr, 40);
  EXPECT_EQ(View.Position, 40);
  EXPECT_THAT(View.Events, ElementsAre("position", "pump"));
  now += 4;
  Job.ProgressHandler(nullptr, 41);
  EXPECT_EQ(View.Position, 40);
  now += 20; // past the wrap
  Job.ProgressHandler(nullptr, 42);
  EXPECT_EQ(View.Position, 42);
  EXPECT_EQ(View.Pumps, 2);
}

TEST_F(RepairJobTest, LogSwitchWritesTheDumpsBesideTheOutput) {
  Job.LogSwitch = true;
  OpenSingle(Make("clip.mp4", kMp4Bytes, {.CheckVerdict = kDamagedData}));
  Job.CheckCommand();
  EXPECT_EQ(Job.Reader->DumpFileName, (Dir / "clip.dmp").string());
  EXPECT_EQ(Log.Calls.back(), "dump " + (Dir / "clip.log").string());
}

} // namespace
} // namespace clw::test
