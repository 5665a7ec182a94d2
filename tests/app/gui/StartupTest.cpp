// What the program reads before its window opens: the command line and the settings.
#include "GuiTests.h"

#include "app/gui/CommandLine.h"

#include <QSettings>
#include <QTest>

namespace clw::gui::test {

// Each case reads from a settings folder of its own, and the run's folder is back after it.
class TFreshSettings {
public:
  TFreshSettings() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Home.path());
  }
  ~TFreshSettings() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, SettingsHome());
  }
  TFreshSettings(const TFreshSettings&) = delete;
  TFreshSettings& operator=(const TFreshSettings&) = delete;

private:
  QTemporaryDir Home;
};

class TStartupTest : public QObject {
  Q_OBJECT

private slots:
  void commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("logSwitch");
    QTest::newRow("name only") << QStringList{"clip.avi"} << "/d/clip.avi" << false;
    QTest::newRow("-L before the name") << QStringList{"-L", "clip.avi"} << "/d/clip.avi" << true;
    QTest::newRow("-l after a path") << QStringList{"/x/y.mp4", "-l"} << "/x/y.mp4" << true;
    QTest::newRow("-l alone") << QStringList{"-l"} << "" << true;
    QTest::newRow("first of two names") << QStringList{"a.avi", "b.avi"} << "/d/a.avi" << false;
    QTest::newRow("empty first") << QStringList{"", "b.avi"} << "/d/b.avi" << false;
    QTest::newRow("third is ignored") << QStringList{"-x", "y", "-l"} << "/d/-x" << false;
    QTest::newRow("relative with a folder") << QStringList{"sub/c.avi"} << "sub/c.avi" << false;
    QTest::newRow("-ll is a name") << QStringList{"-ll"} << "/d/-ll" << false;
  }
  void commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, fileName);
    QFETCH(bool, logSwitch);
    std::vector<std::string> args;
    for (const QString& a : arguments)
      args.push_back(a.toStdString());
    const TCommandLine line = ParseCommandLine(args, "/d");
    QCOMPARE(QString::fromStdString(line.FileName), fileName);
    QCOMPARE(line.LogSwitch, logSwitch);
    QCOMPARE(ParseCommandLine({"clip.avi"}, "/").FileName, std::string("/clip.avi"));
  }

  // Values as another program or an older version may have left them.
  void readingSettings_data() {
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<QVariant>("language");
    QTest::addColumn<QString>("expectedInput");
    QTest::addColumn<uint32_t>("expectedLanguage");
    const QString longest = "/" + QString(kMaxDirectoryLength - 2, 'v') + "/";
    QTest::newRow("nothing stored") << QVariant() << QVariant() << "" << 0u;
    QTest::newRow("German") << QVariant("/in/") << QVariant(2) << "/in/" << 2u;
    QTest::newRow("language 3") << QVariant() << QVariant(3) << "" << 0u;
    QTest::newRow("language -1") << QVariant() << QVariant(-1) << "" << 0u;
    QTest::newRow("language not a number") << QVariant() << QVariant("ru") << "" << 0u;
    QTest::newRow("folder of 255 characters") << QVariant(longest) << QVariant(1) << longest << 1u;
    QTest::newRow("folder of 256 characters") << QVariant(longest + "w") << QVariant(1) << "" << 1u;
    QTest::newRow("folder up to a zero character")
        << QVariant(QString("/in/") + QChar(0) + "junk") << QVariant() << "/in/" << 0u;
  }
  void readingSettings() {
    QFETCH(QVariant, input);
    QFETCH(QVariant, language);
    QFETCH(QString, expectedInput);
    QFETCH(uint32_t, expectedLanguage);
    const TFreshSettings fresh;
    {
      QSettings store("Harrowgate", "Clipwright");
      if (input.isValid()) store.setValue("InputDirectory", input);
      if (language.isValid()) store.setValue("Language", language);
    }
    QSettings store("Harrowgate", "Clipwright");
    const TAppSettings settings = ReadSettings(store);
    QCOMPARE(QString::fromStdString(settings.InputDirectory), expectedInput);
    QCOMPARE(settings.OutputDirectory, std::string());
    QCOMPARE(settings.Language, expectedLanguage);
  }

  void settingsRoundTrip() {
    const TFreshSettings fresh;
    const TAppSettings saved{"/home/u/DCIM/", "/home/u/Видео/", langRussian};
    {
      QSettings store("Harrowgate", "Clipwright");
      SaveSettings(store, saved);
    }
    QSettings store("Harrowgate", "Clipwright");
    const TAppSettings read = ReadSettings(store);
    QCOMPARE(read.InputDirectory, saved.InputDirectory);
    QCOMPARE(read.OutputDirectory, saved.OutputDirectory);
    QCOMPARE(read.Language, saved.Language);
    QCOMPARE(store.value("Language").toInt(), 1);
  }
};

QObject* MakeStartupTest() {
  return new TStartupTest;
}

std::vector<QObject*> AllTests() {
  QObject* MakeMainWindowTest();
  QObject* MakeWindowLayoutTest();
  return {MakeStartupTest(), MakeMainWindowTest(), MakeWindowLayoutTest()};
}

} // namespace clw::gui::test

#include "StartupTest.moc"
