#include "util/Duziz.h"

#include "platform/Trace.h"
#include "platform/Utf8.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

using platform::Bytes;

void Duziz::sendMsg(int code, int pos, const std::string& name) {
    auto profile = std::make_shared<Userprofile>();
    profile->cmdType = code;
    profile->mpos = pos;
    PostMessage(UserprofilePtr(std::move(profile)), name);
}

void Duziz::PostMessage(std::any object, const std::string& name) {
    platform::NotificationCenter::defaultCenter().postNotificationName(name, std::move(object));
}

void Duziz::timerBegin(platform::PausableTimer* timer) {
    if (timer) timer->begin();
}

void Duziz::timerStop(platform::PausableTimer* timer) {
    if (timer) timer->stop();
}

void Duziz::setSpinBarStatus(bool show, platform::Spinner* indicator) {
    if (!indicator) return;
    indicator->setSpinnerVisible(show);
    indicator->setSpinnerAnimating(show);
}

void Duziz::showModal(platform::ModalWindow& window) {
    auto& ui = platform::UiServices::shared();
    window.makeKeyWindow();
    ui.runModal(window);
    window.closeWindow();
    ui.activateApplication();
}

static bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool Duziz::_openFile(const std::string& type, int arg,
                      const std::function<bool(const std::string&, int)>& handler) {
    auto path = platform::UiServices::shared().openPanel("Open file", {type});
    if (!path) return false;
    if (!fileExists(*path) || !handler) return false;
    bool result = handler(*path, arg);
    platform::trace("diao yong  block here.........  return bool is :........%d", result ? 1 : 0);
    return result;
}

bool Duziz::saveFile(const std::string& title, const std::string& type, Bytes* data, platform::Error* error) {
    auto path = platform::UiServices::shared().savePanel(title, {type}, "Newfile" + type);
    if (!path) return false;
    static const Bytes empty;
    const Bytes& bytes = data ? *data : empty;
    // A failed write keeps the data, so that nothing the mixer sent is lost silently.
    if (!writeFileAtomically(*path, bytes.data(), bytes.size(), error)) return false;
    clearData(data);
    return true;
}

int Duziz::fileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<int>(st.st_size);
}

void Duziz::clearData(Bytes* data) {
    if (data) data->clear();
}

void Duziz::strToArray(unsigned char* dst, const char* src, int len) {
    if (!dst || len <= 0) return;
    size_t srcLen = src ? strnlen(src, static_cast<size_t>(len)) : 0;
    for (int i = 0; i < len; ++i) dst[i] = static_cast<size_t>(i) < srcLen ? static_cast<unsigned char>(src[i]) : 0x20;
}

std::optional<std::string> Duziz::ByteTostr(const char* bytes, int length) {
    if (length < 0 || (!bytes && length > 0)) return std::nullopt;
    auto* b = reinterpret_cast<const uint8_t*>(bytes);
    if (!platform::isValidUtf8(b, static_cast<size_t>(length))) return std::nullopt;
    return std::string(bytes, static_cast<size_t>(length));
}

double Duziz::round(double value, int decimals) {
    const int32_t a = static_cast<int32_t>(value * std::pow(10.0, decimals + 1));
    int32_t b = static_cast<int32_t>(value * std::pow(10.0, decimals));
    if (a - 10 * b >= 5) b = b + 1;
    return b / std::pow(10.0, decimals);
}

Duziz& Duziz::shareDuziz() {
    static Duziz cover;
    return cover;
}

bool Duziz::openFiles(const std::string& type, const std::function<void(const std::string&, int)>& selector,
                      int arg) {
    auto path = platform::UiServices::shared().openPanel("Open file", {type});
    if (!path || !fileExists(*path) || !selector) return false;
    selector(*path, arg);
    return true;
}

std::string Duziz::pathInDocumentDctry(const std::string& name) const {
    const char* home = getenv("HOME");
    std::string documents = std::string(home ? home : "") + "/Documents";
    return documents + "/" + name;
}

std::string Duziz::preStr(int value) {
    if (value >= 0 && value <= 9) return "00" + std::to_string(value);
    if (value >= 10 && value <= 99) return "0" + std::to_string(value);
    return std::to_string(value);
}

std::string Duziz::DpreStr(int value) { return preStr(value) + ".-----empty-----"; }

std::optional<std::string> Duziz::CharToStr(const char* text) {
    if (!text) return std::nullopt;
    return ByteTostr(text, static_cast<int>(strlen(text)));
}

uint8_t Duziz::convertBinAryToByte(const std::vector<uint8_t>& bits) {
    uint8_t byte = 0;
    for (size_t i = 0; i < 8 && i < bits.size(); ++i)
        if (bits[i]) byte |= static_cast<uint8_t>(1u << i);
    return byte;
}

bool Duziz::IpMatch(const std::string& text) {
    static const std::regex pattern(
        "^(25[0-5]|2[0-4][0-9]|[0-1]{1}[0-9]{2}|[1-9]{1}[0-9]{1}|[1-9])\\."
        "(25[0-5]|2[0-4][0-9]|[0-1]{1}[0-9]{2}|[1-9]{1}[0-9]{1}|[1-9]|0)\\."
        "(25[0-5]|2[0-4][0-9]|[0-1]{1}[0-9]{2}|[1-9]{1}[0-9]{1}|[1-9]|0)\\."
        "(25[0-5]|2[0-4][0-9]|[0-1]{1}[0-9]{2}|[1-9]{1}[0-9]{1}|[0-9])$",
        std::regex::icase);
    const char* ws = " \t\n\r\f\v";
    size_t first = text.find_first_not_of(ws);
    if (first == std::string::npos) return false;
    size_t last = text.find_last_not_of(ws);
    return std::regex_match(text.substr(first, last - first + 1), pattern);
}

int Duziz::pageRangeIndex(int value) const {
    if (value >= 0 && value <= 7) return 0;
    if (value >= 8 && value <= 15) return 1;
    if (value >= 16 && value <= 23) return 2;
    if (value >= 24 && value <= 28) return 3;
    return 0;
}

int Duziz::tgTochindex(int value) {
    if (value >= 0 && value <= 15) return value;
    if (value == 16 || value == 17) return value + 8;
    if (value >= 18 && value <= 21) return value - 2;
    if (value >= 22 && value <= 24) return value + 4;
    if (value >= 25 && value <= 28) return value - 5;
    return 0;
}

int Duziz::chTotg(int value) {
    if (value >= 0 && value <= 15) return value;
    if (value == 24 || value == 25) return value - 8;
    if (value >= 16 && value <= 19) return value + 2;
    if (value >= 26 && value <= 28) return value - 4;
    if (value >= 20 && value <= 23) return value + 5;
    return value;
}

int Duziz::halfSearchLensForV(const double* values, int count, double value) const {
    int low = 0, high = count - 1;
    while (low < high) {
        int middle = (low + high) / 2;
        if (value > values[middle]) {
            low = middle + 1;
        } else if (value < values[middle]) {
            high = middle - 1;
        } else {
            return middle;
        }
    }
    return low;
}

bool writeFileAtomically(const std::string& path, const uint8_t* data, size_t size, platform::Error* error) {
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        platform::setError(error, platform::Error::posix(errno, "Could not create a file next to " + path + "."));
        return false;
    }
    fchmod(fd, 0644);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temp.c_str());
            platform::setError(error, platform::Error::posix(err, "Could not write " + path + "."));
            return false;
        }
        done += static_cast<size_t>(n);
    }
    int syncFailed = ::fsync(fd) != 0 ? errno : 0;
    int closeFailed = ::close(fd) != 0 ? errno : 0;
    if (syncFailed || closeFailed) {
        int err = syncFailed ? syncFailed : closeFailed;
        ::unlink(temp.c_str());
        platform::setError(error, platform::Error::posix(err, "Could not write " + path + "."));
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        platform::setError(error, platform::Error::posix(err, "Could not replace " + path + "."));
        return false;
    }
    return true;
}
