#include "app/gui/MainLayout.h"

#include "app/JobView.h"

namespace clw::gui {

namespace {

using C = TControlClass;

const TDialogLayout kEnglish{
    344,
    128,
    {
        {kGroupBoxId, C::GroupBox, " Clipwright ", 4, 4, 336, 120},
        {kDescriptionId, C::Label,
         "This utility will repair your AVI, MOV and MP4 files if they do not play or freeze.", 13,
         17, 308, 8},
        {ctlInputButton, C::Button, "&Input File", 13, 30, 65, 14},
        {ctlOutputButton, C::Button, "&Output File", 13, 44, 65, 14},
        {ctlFormatLabel, C::RightLabel, "File Format:", 13, 64, 65, 8},
        {ctlStatusLabel, C::RightLabel, "File Status:", 13, 74, 65, 8},
        {ctlCheckButton, C::Button, "&Check Errors", 13, 90, 65, 14},
        {ctlActionButton, C::Button, "&Check && Repair", 13, 104, 65, 14},
        {ctlInputPath, C::Label, "[Not specified. Please, choose a video file]", 87, 33, 241, 8},
        {ctlOutputPath, C::Label, "[Not specified]", 87, 48, 241, 8},
        {ctlFormatLine, C::Label, "[Unknown]", 87, 64, 241, 8},
        {ctlStatusLine, C::Label, "[Unknown]", 87, 74, 241, 8},
        {ctlActivityLine, C::Label, "Checking...", 87, 94, 241, 8},
        {ctlProgressBar, C::ProgressBar, "", 87, 107, 243, 10},
    }};

const TDialogLayout kRussian{
    362,
    128,
    {
        {kGroupBoxId, C::GroupBox, " Clipwright ", 4, 4, 354, 120},
        {kDescriptionId, C::Label,
         "Данная утилита позволяет исправить AVI, MOV и MP4 файлы, имеющие проблемы с "
         "проигрыванием видео.",
         13, 17, 337, 8},
        {ctlInputButton, C::Button, "&Входной видеофайл", 13, 30, 105, 14},
        {ctlOutputButton, C::Button, "В&ыходной видеофайл", 13, 44, 105, 14},
        {ctlFormatLabel, C::RightLabel, "Формат видеофайла:", 13, 64, 105, 8},
        {ctlStatusLabel, C::RightLabel, "Состояние видеофайла:", 13, 74, 105, 8},
        {ctlCheckButton, C::Button, "Проверить на &ошибки", 13, 90, 105, 14},
        {ctlActionButton, C::Button, "&Проверить и восстановить", 13, 104, 105, 14},
        {ctlInputPath, C::Label, "[Не указан. Пожалуйста, выберите видеофайл]", 128, 33, 222, 8},
        {ctlOutputPath, C::Label, "[Не указан.]", 128, 48, 219, 8},
        {ctlFormatLine, C::Label, "[Неизвестно]", 128, 64, 221, 8},
        {ctlStatusLine, C::Label, "[Неизвестно]", 128, 74, 216, 8},
        {ctlActivityLine, C::Label, "Проверяем...", 128, 94, 219, 8},
        {ctlProgressBar, C::ProgressBar, "", 128, 107, 223, 10},
    }};

// German texts run longer: the description takes two lines and everything below it
// moves down by one line.
const TDialogLayout kGerman{
    382,
    138,
    {
        {kGroupBoxId, C::GroupBox, " Clipwright ", 4, 4, 374, 130},
        {kDescriptionId, C::Label,
         "Das vorliegende Dienstprogramm lasst zu, AVI, MOV & MP4 die Dateien zu korrigieren, "
         "die die Probleme mit dem Vorspielen Videos haben.",
         13, 17, 357, 18, true},
        {ctlInputButton, C::Button, "Die &Eingangsvideodatei", 13, 40, 125, 14},
        {ctlOutputButton, C::Button, "Die &Abgabevideodatei", 13, 54, 125, 14},
        {ctlFormatLabel, C::RightLabel, "Das Format der Videodatei:", 13, 74, 115, 8},
        {ctlStatusLabel, C::RightLabel, "Der Zustand der Videodatei:", 13, 84, 115, 8},
        {ctlCheckButton, C::Button, "Auf die Fehler zu prufen", 13, 100, 125, 14},
        {ctlActionButton, C::Button, "&Zu prufen und wieder herzustellen", 13, 115, 125, 14},
        {ctlInputPath, C::Label, "[Ist nicht angegeben. Bitte, wahlen Sie die Videodatei aus]", 148,
         43, 222, 8},
        {ctlOutputPath, C::Label, "[Ist nicht angegeben.]", 148, 58, 219, 8},
        {ctlFormatLine, C::Label, "[Unbekannt]", 148, 74, 221, 8},
        {ctlStatusLine, C::Label, "[Unbekannt]", 148, 84, 216, 8},
        {ctlActivityLine, C::Label, "Prufung...", 148, 104, 219, 8},
        {ctlProgressBar, C::ProgressBar, "", 148, 117, 223, 10},
    }};

} // namespace

const TDialogLayout& MainLayout(uint32_t Language) {
  switch (Language) {
  case 1:
    return kRussian;
  case 2:
    return kGerman;
  default:
    return kEnglish;
  }
}

} // namespace clw::gui
