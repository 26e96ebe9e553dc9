// Programming a 1 MiB main-board image (1024 blocks) with the firmware window shown in the
// offscreen platform (its bar and status line drawn), on the Qt main executor over loopback TCP
// to the simulated mixer (sleeps recorded, a countdown of 0 s), against a plain blocking-socket
// loop doing the same exchanges (the 15-byte ready query, then one 1040-byte block per 15-byte
// acknowledgement) with the same kind of front end in the same run. The overhead per block (the
// difference of the medians) is printed at the end.

#include "firmware/FirmwareUpdateWindow.h"
#include "link/XCoreData.h"
#include "platform/Sleeper.h"
#include "platform/Trace.h"
#include "platform/qt/QtMainExecutor.h"
#include "simfront/SimFronts.h"
#include "support/LoopbackLink.h"
#include "ui/StartMainWindow.h"
#include "util/Userprofile.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlocks = 1024;

// Seconds per block of each run, wall and CPU (every thread of the process, the simulated
// mixer's included): window, blocking loop.
std::vector<double> perBlock[2], cpuPerBlock[2];
enum { kWindow, kBlocking };

double processCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Every question answered "OK"; no dialog is shown.
class AnsweringUi : public platform::UiServices {
public:
    AnsweringUi() { setShared(this); }
    ~AnsweringUi() override { setShared(nullptr); }
    int alert(const std::string&, const std::string&, const std::vector<std::string>&) override { return 0; }
    std::optional<std::string> openPanel(const std::string&, const std::vector<std::string>&) override { return {}; }
    std::optional<std::string> savePanel(const std::string&, const std::vector<std::string>&,
                                         const std::string&) override {
        return {};
    }
    int runModal(platform::ModalWindow&) override { return 0; }
    void stopModal(int) override {}
    void activateApplication() override {}
    bool isApplicationHidden() override { return false; }
    bool openUrl(const std::string&) override { return false; }
};

// Images of 1 MiB for the main board and one block for the others, the manifest, in a temporary
// resources folder.
class Resources {
public:
    Resources()
        : dir_(std::filesystem::temp_directory_path() / ("varnel-firmware-bench-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(dir_ / "lib");
        for (int board = 0; board < kFirmwareBoards; ++board) {
            std::vector<char> image(board == 0 ? kFirmwareImageMax : kFirmwareBlockSize);
            for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 13 + static_cast<size_t>(board));
            std::ofstream(dir_ / "lib" / Firmware_BIN[board], std::ios::binary)
                .write(image.data(), static_cast<std::streamsize>(image.size()));
        }
        std::ofstream(dir_ / "lib" / kFirmwareManifestName)
            << R"({"Firmwares": [{"MCU_VER2": "a"}, {"MCU_VER1": "b"}, {"DSP_VER2": "c"}, {"DSP_VER1": "d"},)"
            << R"({"App_Name": "n"}, {"App_Ver": "v"}, {"compName": "c"}, {"URL": ""}, {"Utype": "0"}]})";
    }
    ~Resources() { std::filesystem::remove_all(dir_); }
    std::string path() const { return dir_.string(); }

private:
    std::filesystem::path dir_;
};

// Runs the Qt event loop until done() or 60 s, sleeping while there is nothing to do, as the
// program's event loop does.
template <typename Done>
bool spin(Done done) {
    const auto until = Clock::now() + std::chrono::seconds(60);
    QTimer guard;  // wakes the loop to look at the clock when nothing else comes
    guard.start(100);
    while (!done() && Clock::now() < until) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

// The main window connected to the simulated mixer and the firmware window beside it, made once.
class Setup {
public:
    Setup()
        : tcp_(mixer_, "127.0.0.1", 0),
          settings_(testsupport::loopbackLinkSettings(tcp_.port())),
          udp_({settings_.probePort, "127.0.0.1", 32, std::chrono::milliseconds(0)}),
          core_(resources_.path()),
          main_(gc_, core_, settings_),
          firmware_(gc_, core_) {
        main_.link().setSleeper(&linkSleeper_);
        main_.awakeFromNib();
        firmware_.logic().setSleeper(&windowSleeper_);
        firmware_.logic().setRebootSeconds(0);
        firmware_.awakeFromNib();
        firmware_.show();
        if (!spin([&] { return main_.link().connectType() == kConnectTypeTcp; }))
            throw std::runtime_error("mixer not found");
        main_.link().switchLighted();
        if (!spin([&] { return gc_.isconnected; })) throw std::runtime_error("no link");
        done_ = platform::NotificationCenter::defaultCenter().addObserver(
            kMessageBusName, [this](const platform::Notification& note) {
                const auto* p = std::any_cast<UserprofilePtr>(&note.object);
                if (p && *p && (*p)->cmdType == MSG_BOARD_DONE && (*p)->mpos == 0) mainBoardDone_ = Clock::now();
            });
    }

    // One run from the Program click; the seconds until the main board was done.
    double programMainBoard() {
        mainBoardDone_ = {};
        const Clock::time_point start = Clock::now();
        const double cpuStart = processCpu();
        firmware_.programGoBtn()->click();
        if (!spin([&] { return mainBoardDone_ != Clock::time_point{}; })) throw std::runtime_error("board 0 not done");
        const double s = seconds(mainBoardDone_ - start);
        cpuPerBlock[kWindow].push_back((processCpu() - cpuStart) / kBlocks);
        // The three small boards follow; the next run starts once this one has ended.
        auto ended = [&] {
            return firmware_.logic().checkWhichFirwareBegin() == -1 && firmware_.programGoBtn()->isEnabled();
        };
        if (!spin(ended))
            throw std::runtime_error("run not ended");
        if (mixer_.with([](sim::SimMixer& m) { return m.firmware[0].size(); }) != kFirmwareImageMax)
            throw std::runtime_error("image not received whole");
        return s;
    }

    const XCoreData& core() const { return core_; }

private:
    Resources resources_;
    sim::LockedMixer mixer_;
    sim::TcpFront tcp_;
    LinkSettings settings_;
    sim::UdpFront udp_;
    platform::RecordingSleeper linkSleeper_, windowSleeper_;
    GCData gc_;
    XCoreData core_;
    StartMainWindow main_;
    FirmwareUpdateWindow firmware_;
    platform::NotificationCenter::ObserverToken done_;
    Clock::time_point mainBoardDone_;
};

Setup* setup = nullptr;

void BM_WindowProgramsOneMiB(benchmark::State& state) {
    for (auto _ : state) {
        const double s = setup->programMainBoard();
        state.SetIterationTime(s);
        perBlock[kWindow].push_back(s / kBlocks);
    }
    state.SetItemsProcessed(state.iterations() * kBlocks);
}

bool sendAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool readExactly(int fd, uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::recv(fd, data, length, 0);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// The same exchanges with a blocking socket: the ready query, then each block as the
// acknowledgement before it asks for it.
void BM_BlockingLoopProgramsOneMiB(benchmark::State& state) {
    sim::LockedMixer mixer;
    sim::TcpFront front(mixer, "127.0.0.1", 0);
    const XCoreData& core = setup->core();
    for (auto _ : state) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = htons(front.port());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) throw std::runtime_error("connect");
        uint8_t query[XCoreData::kIsReadyLength];
        uint8_t block[XCoreData::kProgramBlockFrameLength];
        uint8_t ack[15];
        const Clock::time_point start = Clock::now();
        const double cpuStart = processCpu();
        core.PackageofDevice_isReady(query, 0);
        bool ok = sendAll(fd, query, sizeof query) && readExactly(fd, ack, sizeof ack);
        for (int next = 0; ok && next < kBlocks;) {
            core.PackageofBeginProgram(block, next, 0);
            ok = sendAll(fd, block, sizeof block) && readExactly(fd, ack, sizeof ack);
            next = ack[10] * 256 + ack[11];
        }
        const double s = seconds(Clock::now() - start);
        cpuPerBlock[kBlocking].push_back((processCpu() - cpuStart) / kBlocks);
        ::close(fd);
        if (!ok) throw std::runtime_error("exchange failed");
        state.SetIterationTime(s);
        perBlock[kBlocking].push_back(s / kBlocks);
    }
    state.SetItemsProcessed(state.iterations() * kBlocks);
}

BENCHMARK(BM_WindowProgramsOneMiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_BlockingLoopProgramsOneMiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    platform::setTraceEnabled(false);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    platform::QtMainExecutor executor;
    AnsweringUi ui;
    {
        Setup made;
        setup = &made;
        benchmark::RunSpecifiedBenchmarks();
        setup = nullptr;
    }
    benchmark::Shutdown();
    if (!perBlock[kWindow].empty() && !perBlock[kBlocking].empty()) {
        const double window = median(perBlock[kWindow]), blocking = median(perBlock[kBlocking]);
        std::printf("per block (median of %zu runs): window %.1f us, blocking loop %.1f us, overhead %.1f us "
                    "(aim: at most 50 us)\n",
                    perBlock[kWindow].size(), window * 1e6, blocking * 1e6, (window - blocking) * 1e6);
        const double windowCpu = median(cpuPerBlock[kWindow]), blockingCpu = median(cpuPerBlock[kBlocking]);
        std::printf("CPU per block (median, whole process): window %.1f us, blocking loop %.1f us, overhead %.1f us\n",
                    windowCpu * 1e6, blockingCpu * 1e6, (windowCpu - blockingCpu) * 1e6);
    }
    return 0;
}
