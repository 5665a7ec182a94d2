#include "app/gui/Settings.h"

namespace clw::gui {

namespace {

// A value another tool wrote may hold a zero character; the folder ends there.
std::string ReadDirectory(QSettings& Store, const char* Key) {
  const QVariant value = Store.value(Key);
  if (!value.isValid()) return {};
  QString text = value.toString();
  const qsizetype zero = text.indexOf(QChar(0));
  if (zero >= 0) text.truncate(zero);
  if (text.toUcs4().size() > kMaxDirectoryLength) return {};
  return text.toStdString();
}

} // namespace

TAppSettings ReadSettings(QSettings& Store) {
  TAppSettings settings;
  settings.InputDirectory = ReadDirectory(Store, "InputDirectory");
  settings.OutputDirectory = ReadDirectory(Store, "OutputDirectory");
  bool ok = false;
  const qlonglong language = Store.value("Language").toLongLong(&ok);
  // Compared as the 32-bit number it is stored as: -1 is far above 2.
  const uint32_t stored = ok ? uint32_t(uint64_t(language)) : 3;
  settings.Language = stored > 2 ? 0 : stored;
  return settings;
}

void SaveSettings(QSettings& Store, const TAppSettings& Settings) {
  Store.setValue("InputDirectory", QString::fromStdString(Settings.InputDirectory));
  Store.setValue("OutputDirectory", QString::fromStdString(Settings.OutputDirectory));
  Store.setValue("Language", int(Settings.Language));
  Store.sync();
}

} // namespace clw::gui
