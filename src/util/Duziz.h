#pragma once
// The application's toolbox: the message bus senders, timers, busy spinners, modal runs, file
// panels, file sizes, fixed-width name fields and number formatting. Class methods only.

#include "platform/Error.h"
#include "platform/NotificationCenter.h"
#include "platform/PausableTimer.h"
#include "platform/UiServices.h"
#include "util/Userprofile.h"

#include <any>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class Duziz {
public:
    // Message bus.
    static void sendMsg(int code, int pos, const std::string& name);
    static void PostMessage(std::any object, const std::string& name);

    // Timers: resume (fire date now) and pause (fire date in the distant future). Null is ignored.
    static void timerBegin(platform::PausableTimer* timer);
    static void timerStop(platform::PausableTimer* timer);

    // Busy spinner: shown and animated, or hidden and stopped. Null is ignored.
    static void setSpinBarStatus(bool show, platform::Spinner* indicator);

    // Makes the window key, runs it modally until its own code stops the run, closes it and
    // brings the application to the front.
    static void showModal(platform::ModalWindow& window);

    // A modal open panel titled "Open file" for files of the given type; when the user confirms
    // a file that exists and a handler is given, returns handler(path, arg); otherwise false.
    static bool _openFile(const std::string& type, int arg,
                          const std::function<bool(const std::string& path, int arg)>& handler);
    // A modal save panel with the title, the file type and the proposed name "Newfile<type>".
    // On OK the data is written atomically and then emptied; on cancel nothing happens.
    // Returns whether the data was written (a failed write keeps the data and is reported
    // through error).
    static bool saveFile(const std::string& title, const std::string& type, platform::Bytes* data,
                         platform::Error* error = nullptr);

    static int fileSize(const std::string& path);
    static void clearData(platform::Bytes* data);

    // Writes exactly len bytes: the characters of src, then spaces; no terminating zero.
    static void strToArray(unsigned char* dst, const char* src, int len);
    // Exactly length bytes decoded as UTF-8; nothing when they are not valid UTF-8.
    static std::optional<std::string> ByteTostr(const char* bytes, int length);

    // Rounds half up to the given number of decimals (negative values are truncated).
    static double round(double value, int decimals);

    // Helpers without a caller in the programs, kept so the toolbox is complete.
    static Duziz& shareDuziz();
    // As _openFile, but calls the given function instead of a handler; returns whether it
    // made the call, whatever the call did.
    static bool openFiles(const std::string& type, const std::function<void(const std::string&, int)>& selector,
                          int arg);
    std::string pathInDocumentDctry(const std::string& name) const;
    static std::string preStr(int value);
    static std::string DpreStr(int value);
    static std::optional<std::string> CharToStr(const char* text);
    static uint8_t convertBinAryToByte(const std::vector<uint8_t>& bits);
    static bool IpMatch(const std::string& text);
    int pageRangeIndex(int value) const;
    static int tgTochindex(int value);
    static int chTotg(int value);
    int halfSearchLensForV(const double* values, int count, double value) const;
    void cxhEQ_all() const {}
    void cxhEQ_chanel(int) const {}

    int32_t ncount = 0;

private:
    Duziz() = default;
};

// Writes bytes to path atomically: a temporary file in the same folder, flushed, then renamed
// over the target. Returns false and fills error when any step fails; the target is untouched then.
bool writeFileAtomically(const std::string& path, const uint8_t* data, size_t size, platform::Error* error);
