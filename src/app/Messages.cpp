#include "app/Messages.h"

namespace clw {

namespace {

// The string resources, one block per language, in message order.
constexpr const char* kResources[3][TMessages::kCount] = {
    // English
    {
        "Open file - CLW",
        "Save file - CLW",
        "The file is not found",
        "Can't open a file",
        "File Reading Error",
        "Unknown or Unsupported video format",
        "Can't write to the file",
        "The file isn't AVI file",
        "[Unknown]",
        "[Not specified]",
        "[Not specified. Please, choose a video file]",
        "Error",
        "Check && &Repair!",
        "&Repair!",
        "Checking...",
        "Repairing...",
        "Cancel",
        "Operation is canceled",
        "The file is repaired!",
        "Output file name must not be the same as the name of input file.",
        "The file is damaged: wrong data.",
        "The file is damaged: wrong index.",
        "OK, no errors found",
        "Probably OK (no errors found, press \"Check Errors\" to detect)",
        "Except!",
        "fps",
        "audio stream(s)",
        "Avi files",
        "All files",
        "The language changes will take effect next time your start program.",
        "Visit CLW Web site",
        "Mpeg-4 files",
        "Video files",
        "There doesn't need to be important information (audio and video headers for example) for "
        "your MP4 video to need repair. If you have another MP4 video file that was recorded on "
        "the same camera/camcorder, it's better to take that information from a fault-free video "
        "to repair the current video. Do you wish to proceed?",
        "The file could not be repaired.",
        "The file is repaired, without its sound.",
        "This reference file cannot be used: it is not an intact MP4, MOV or 3GP video.",
        "This reference file cannot be used: its video is not H.264.",
        "The repaired copy could not be written",
    },
    // Russian
    {
        "Открыть файл - CLW",
        "Сохранить файл - CLW",
        "Файл не найден",
        "Невозможно открыть файл",
        "Ошибка чтения файла",
        "Неизвестный или неподдерживаемый видео-формат",
        "Невозможно записать файл",
        "Файл не является AVI",
        "[Неизвестно]",
        "[Не указан]",
        "[Не указан. Пожалуйста, выберите видеофайл]",
        "Ошибка",
        "&Проверить и восстановить",
        "В&осстановить!",
        "Проверяем...",
        "Восстанавливаем...",
        "Отмена",
        "Операция отменена",
        "Файл восстановлен!",
        "Имя выходного файла не должно совпадать с именем входного файла.",
        "Файл поврежден: неправильные данные.",
        "Файл поврежден: неправильная индексная таблица.",
        "Ошибок не найдено",
        "Нажмите \"Проверить на ошибки\" для точной проверки",
        "Возникла ошибка!",
        "кадр/сек",
        "аудио поток(ов)",
        "AVI-файлы",
        "Все файлы",
        "The language changes will take effect next time your start program.",
        "Посетить сайт программы",
        "Mpeg-4 файлы",
        "Видео-файлы",
        "В обрабатываемом видео файле не хватает важной информации (заголовков аудио и видео "
        "дорожек) для восстановления. Если у вас есть другой MP4 видео файл, записанный на том же "
        "оборудовании (камера/фотоаппарат), не содержащий ошибок, рекомендуется использовать "
        "недостающую информацию из этого файла. Вы хотите сделать это?",
        "Не удалось восстановить файл.",
        "Файл восстановлен, но без звука.",
        "Этот файл-образец нельзя использовать: это не целый видеофайл MP4, MOV или 3GP.",
        "Этот файл-образец нельзя использовать: его видео не в формате H.264.",
        "Не удалось записать восстановленную копию",
    },
    // German
    {
        "Die CLW- Datei zu offnen",
        "Die CLW -Datei- zu speichern",
        "Die Datei ist nicht gefunden",
        "Es ist unmoglich, die Datei zu offnen",
        "Der Lesefehler der Datei",
        "Das unbekannte oder nichtunterstutzte Format",
        "Es ist unmoglich, die Datei zu speichern",
        "Die Datei ist kein AVI",
        "[Unbekannt]",
        "[Ist nicht angegeben]",
        "[Ist nicht angegeben. Bitte, wahlen Sie die Videodatei aus]",
        "Der Fehler",
        "&Zu prufen und wieder herzustellen",
        "&Wieder herzustellen!",
        "Prufung...",
        "Wieder herzustellen...",
        "Die Aufhebung",
        "Die Operation ist abgebrochen",
        "Die Datei ist wieder hergestellt!",
        "Der Name der Abgabedatei soll mit dem Namen der Eingabedatei nicht ubereinstimmen.",
        "Die Datei ist beschadigt: die falschen Daten.",
        "Die Datei ist beschadigt: die falsche indizierte Tabelle.",
        "Der Fehler ist es nicht gefunden",
        "Drucken Sie \"auf die Fehler zu prufen \" fur die genaue Prufung ",
        "Es ist der Fehler entstanden!",
        "Rahmen/Sek",
        "Audiostrom",
        "AVI Dateien",
        "Alle Dateien",
        "The language changes will take effect next time your start program.",
        "Den Standort des Programms zu besuchen",
        "Mpeg-4 Dateien",
        "Die Video-Dateien",
        "In bearbeitetem VideoFile (VideoDatei) fehlt es an den wichtigen Informationen (der Titel "
        "audio- und Video der Bahnen) fur die Wiederherstellung. Wenn Sie anderen MP4 VideoFile "
        "(VideoDatei) haben, Aufgezeichnet auf der selben Ausrustung (Kamera/Fotoapparat), nicht "
        "der Enthaltende Der Fehler, es ist empfehlenswert, die fehlenden Informationen aus dieser "
        "Datei (File) zu verwenden. Machen Sie es  wollen?",
        "Die Datei konnte nicht wiederhergestellt werden.",
        "Die Datei ist wiederhergestellt, aber ohne Ton.",
        "Diese Referenzdatei ist nicht verwendbar: Sie ist kein intaktes MP4-, MOV- oder "
        "3GP-Video.",
        "Diese Referenzdatei ist nicht verwendbar: Ihr Video ist nicht H.264.",
        "Die wiederhergestellte Kopie konnte nicht geschrieben werden",
    },
};

} // namespace

const char* TMessages::Resource(int32_t Identifier) {
  const int32_t language = (Identifier - 10000) / 1000;
  const int32_t n = (Identifier - 10000) % 1000;
  if (Identifier < 10000 || language > 2 || n < 1 || n > kCount) return "";
  return kResources[language][n - 1];
}

TMessages::TMessages(uint32_t Language) : FLanguage(Language <= langGerman ? Language : 0) {
  for (int32_t n = 1; n <= kCount; ++n)
    FTexts[size_t(n - 1)] = Resource(Identifier(FLanguage, n));
}

const std::string& TMessages::Text(int32_t EnglishId) const {
  static const std::string kEmpty;
  const int32_t n = EnglishId - 10000;
  if (n < 1 || n > kCount) return kEmpty;
  return FTexts[size_t(n - 1)];
}

} // namespace clw
