#include "sim/SimMixer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kAt = 0x40;

// Request and reply commands as the mixer knows them.
enum : uint8_t {
    RenamePreset = 0x16,
    DeletePreset = 0x17,
    PresetList = 0x18,
    WritePreset = 0x23,
    CheckDevice = 0x25,
    ReadMcuVersion = 0x2C,
    MemoryExport = 0x2F,
    MemoryImportAck = 0x30,
    MemoryImport = 0x31,
    PresetData = 0x32,
    PresetStored = 0x33,
    ReadyOther = 0xF0,
    BlockOther = 0xF1,
    ReadDsp = 0xF2,
    EnterProgram = 0xF8,
    Search = 0xF9,
    ReadyMain = 0xFA,
    BlockMain = 0xFB,
};

std::array<uint8_t, 16> nameField(const char* text) {
    std::array<uint8_t, 16> field;
    field.fill(' ');
    const size_t n = std::min<size_t>(std::strlen(text), 16);
    std::memcpy(field.data(), text, n);
    return field;
}

}  // namespace

SimMixer::SimMixer(uint32_t seed, int firmwareVersion) : version_(firmwareVersion), random_(seed ? seed : 1) {
    static const char* prefix[kTypes] = {"Dsp", "Geq", "Fx", "Scene"};
    for (int t = 0; t < kTypes; ++t) {
        names[t].resize(static_cast<size_t>(kSlots[t]));
        presets[t].resize(static_cast<size_t>(kSlots[t]));
        for (int s = 0; s < kSlots[t]; ++s) {
            char text[32];
            std::snprintf(text, sizeof text, "%s %u-%d", prefix[t], static_cast<unsigned>(seed % 1000), s + 1);
            names[t][static_cast<size_t>(s)] = nameField(text);
            Bytes preset = makeFrame(static_cast<size_t>(kPresetLength[t]), PresetData, static_cast<uint8_t>(t + 1));
            preset[10] = static_cast<uint8_t>(s + 1);
            for (size_t i = 11; i + 1 < preset.size(); ++i) preset[i] = nextRandom();
            presets[t][static_cast<size_t>(s)] = std::move(preset);
        }
    }
    for (int p = 1; p <= kPackets; ++p) memory[static_cast<size_t>(p - 1)] = freshPacket(p);
}

Bytes SimMixer::freshPacket(int p) {
    auto [sub, length] = packetLayout(p);
    Bytes packet = makeFrame(length, MemoryExport, sub);
    packet[10] = static_cast<uint8_t>(p);
    for (size_t i = 11; i + 1 < packet.size(); ++i) packet[i] = nextRandom();
    return packet;
}

std::pair<uint8_t, size_t> SimMixer::packetLayout(int packet) const {
    const size_t scene = version_ < kNewLayoutVersion ? kOldSceneLength : kSceneLength;
    if (packet >= 1 && packet <= 24) return {4, scene};
    if (packet <= 26) return {1, 2892};
    if (packet <= 28) return {3, 2300};
    if (packet == 29) return {2, 3276};
    if (packet == 30) return {5, scene};
    return {0, 0};
}

void SimMixer::updateFirmware() {
    version_ = kNewLayoutVersion;
    for (int p = 1; p <= kPackets; ++p) {
        const uint8_t sub = packetLayout(p).first;
        if (sub == 4 || sub == 5) memory[static_cast<size_t>(p - 1)] = freshPacket(p);
    }
}

size_t SimMixer::receivedCount(uint8_t command) const {
    size_t n = 0;
    for (const Bytes& f : received) n += f.size() > 8 && f[8] == command;
    return n;
}

Bytes SimMixer::memoryImage() const {
    Bytes all;
    for (const Bytes& packet : memory) all.insert(all.end(), packet.begin(), packet.end());
    return all;
}

uint8_t SimMixer::nextRandom() {
    random_ ^= random_ << 13;
    random_ ^= random_ >> 17;
    random_ ^= random_ << 5;
    return static_cast<uint8_t>(random_ >> 8);
}

Bytes SimMixer::makeFrame(size_t length, uint8_t command, uint8_t sub) const {
    Bytes f(length, 0);
    f[0] = 0x01;
    f[1] = 0x20;
    f[2] = 0x03;
    f[3] = static_cast<uint8_t>(length % 256);
    f[5] = 0x01;
    f[7] = 0x01;
    f[8] = command;
    f[9] = sub;
    f[length - 1] = kAt;
    return f;
}

bool SimMixer::failsAt(int board, int block) {
    const auto failure = failures_.find(board);
    if (failure == failures_.end() || failure->second.atBlock != block) return false;
    if (failure->second.tries > 0 && --failure->second.tries == 0) failures_.erase(failure);
    return true;
}

void SimMixer::setAtTraps(bool on) {
    atTraps_ = on;
    if (!on) return;
    // Plant "@" where a frame of this length would end if byte 3 told its length.
    auto plant = [](Bytes& f) {
        const size_t at = f.size() % 256;
        if (at > 11 && at < f.size()) f[at - 1] = kAt;
    };
    for (Bytes& packet : memory) plant(packet);
    for (Bytes& preset : presets[3]) plant(preset);
    // Name lists: DSP/GEQ (779 bytes) end early at byte 11 with "@" at 10, the first byte of
    // name 1; DFX (1675) and scene (395) lists at byte 139, the first byte of name 9.
    names[0][0][0] = kAt;
    names[1][0][0] = kAt;
    names[2][8][0] = kAt;
    names[3][8][0] = kAt;
}

void SimMixer::setChunkSizes(std::vector<size_t> sizes) {
    sizes.erase(std::remove(sizes.begin(), sizes.end(), size_t{0}), sizes.end());
    chunkSizes_ = sizes.empty() ? std::vector<size_t>{4096} : std::move(sizes);
    chunkIndex_ = 0;
}

Bytes SimMixer::takeChunk() {
    const size_t size = std::min(chunkSizes_[chunkIndex_ % chunkSizes_.size()], out_.size());
    ++chunkIndex_;
    Bytes chunk(out_.begin(), out_.begin() + static_cast<long>(size));
    out_.erase(out_.begin(), out_.begin() + static_cast<long>(size));
    return chunk;
}

void SimMixer::reply(Bytes f) {
    if (silent_) return;
    if (repeated_.count(f[8])) {
        repeated_.erase(f[8]);
        reply(f);
        repeated_.insert(f[8]);
    }
    if (repliesBeforeHold_ == 0) {
        held_.insert(held_.end(), f.begin(), f.end());
        return;
    }
    if (repliesBeforeHold_ > 0) --repliesBeforeHold_;
    if (garbage_) {
        static const uint8_t noise[] = {0x7F, 0x20, 0x03, 0x40, 0x00, 0xFF, 0x55};
        const int count = 1 + nextRandom() % 5;
        for (int i = 0; i < count; ++i) out_.push_back(noise[nextRandom() % sizeof noise]);
    }
    out_.insert(out_.end(), f.begin(), f.end());
    lastSent_ = std::move(f);
}

void SimMixer::receive(const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) feed(data[i]);
}

size_t SimMixer::expectedLength() const {
    const uint8_t command = in_[8];
    const uint8_t sub = in_[9];
    switch (command) {
    case CheckDevice: return 10;
    case MemoryImport:
        switch (sub) {
        case 4: return packetLayout(1).second;
        case 5: return packetLayout(30).second;
        case 1: return 2892;
        case 3: return 2300;
        case 2: return 3276;
        default: return in_[3];
        }
    case WritePreset: return sub >= 1 && sub <= 4 ? static_cast<size_t>(kPresetLength[sub - 1]) : in_[3];
    case BlockMain: return 1040;
    case BlockOther: return in_[3] == 0xF0 ? 3088 : 1040;
    default: return in_[3];
    }
}

void SimMixer::feed(uint8_t byte) {
    static const uint8_t start[3] = {0x01, 0x20, 0x03};
    if (in_.size() < 3) {
        if (byte == start[in_.size()]) {
            in_.push_back(byte);
        } else {
            if (in_.empty() && byte == 0x04) {
                received.push_back({byte});
                mainTransferEnded = true;
            }
            in_.clear();
        }
        return;
    }
    in_.push_back(byte);
    if (in_.size() < 10) return;
    const size_t expected = expectedLength();
    if (expected < 10) {
        in_.clear();
        return;
    }
    if (in_.size() < expected) return;
    Bytes f;
    f.swap(in_);
    if (lost_.erase(f[8])) return;
    received.push_back(f);
    if (!wellFormed(f)) {
        rejected.push_back(f);
        return;
    }
    handle(f);
}

bool SimMixer::wellFormed(const Bytes& f) const {
    const size_t n = f.size();
    if (f[4] != 0x00 || f[5] != 0x01 || f[6] != 0x00 || f[7] != 0x01) return false;
    auto zeros = [&f](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            if (f[i] != 0) return false;
        return true;
    };
    const uint8_t command = f[8];
    const bool trailer = f[n - 1] == kAt;
    switch (command) {
    case CheckDevice: return n == 10 && f[3] == 10 && trailer;
    // Copies of frames the mixer sent earlier (a preset file, a backup): taken as they are.
    case WritePreset:
    case MemoryImport: return true;
    case BlockMain:
    case BlockOther: {
        if (f[3] == 0xF0) return n == 3088 && zeros(3084, 3087) && trailer;
        if (f[3] != 0x01 || n != 1040 || !zeros(1036, 1039) || !trailer) return false;
        // A block the announced image does not have would overwrite what lies past it.
        const int board = f[9];
        return board < 4 && f[10] * 256 + f[11] < announcedBlocks[static_cast<size_t>(board)];
    }
    case ReadyMain:
    case ReadyOther:
        return f[3] == n && trailer && (command == ReadyMain) == (f[9] == 0) && f[12] == 0x01 &&
               f[13] == (f[9] >= 4 ? 21 : 0x01);
    case ReadDsp: return f[3] == n && trailer && f[10] == 1 && f[11] == 1 && f[12] == 1 && f[13] == 1;
    default: return f[3] == n % 256 && trailer;
    }
}

void SimMixer::handle(const Bytes& f) {
    const uint8_t command = f[8];
    const uint8_t sub = f[9];
    const int type = sub - 1;
    const bool presetType = type >= 0 && type < kTypes;
    switch (command) {
    case RenamePreset: {
        const int slot = f[11];
        if (presetType && slot < kSlots[type])
            std::copy(f.begin() + 12, f.begin() + 28, names[type][static_cast<size_t>(slot)].begin());
        reply(makeFrame(11, PresetStored, sub));
        return;
    }
    case DeletePreset: {
        const int slot = f[10];
        if (presetType && slot < kSlots[type]) names[type][static_cast<size_t>(slot)] = nameField("------empty-----");
        return;
    }
    case PresetList: {
        if (!presetType) return;
        Bytes list = makeFrame(10 + 16 * static_cast<size_t>(kSlots[type]) + 1, PresetList, sub);
        for (int s = 0; s < kSlots[type]; ++s)
            std::copy(names[type][static_cast<size_t>(s)].begin(), names[type][static_cast<size_t>(s)].end(),
                      list.begin() + 10 + 16 * s);
        reply(std::move(list));
        return;
    }
    case WritePreset: {
        if (!presetType || f.size() != static_cast<size_t>(kPresetLength[type])) return;
        const int slot = f[10] - 1;
        if (slot < 0 || slot >= kSlots[type]) return;
        Bytes stored = f;
        stored[8] = PresetData;
        presets[type][static_cast<size_t>(slot)] = std::move(stored);
        reply(makeFrame(11, PresetStored, sub));
        return;
    }
    case CheckDevice: reply(makeFrame(12, CheckDevice, 0)); return;
    case ReadMcuVersion: {
        if (versionSilent_) return;
        Bytes answer = makeFrame(14, ReadMcuVersion, 0);
        answer[12] = static_cast<uint8_t>(version_);
        reply(std::move(answer));
        return;
    }
    case MemoryExport:
        for (int p = 1; p <= kPackets; ++p)
            if (!dropped_.count(p)) reply(memory[static_cast<size_t>(p - 1)]);
        return;
    case MemoryImport: {
        const int p = f[10];
        auto [layoutSub, length] = packetLayout(p);
        if (length == 0 || layoutSub != sub || f.size() != length) return;
        // The export frame is built from what was imported, with its own command and length byte.
        Bytes stored = f;
        stored[3] = static_cast<uint8_t>(length % 256);
        stored[8] = MemoryExport;
        memory[static_cast<size_t>(p - 1)] = std::move(stored);
        // The acknowledgement names the packet's block type; the current scene (packet 30) is
        // acknowledged as a scene.
        Bytes ack = makeFrame(12, MemoryImportAck, p == kPackets ? 4 : sub);
        ack[10] = static_cast<uint8_t>(p);
        reply(std::move(ack));
        return;
    }
    case PresetData: {
        const int slot = f[10] - 1;
        if (!presetType || slot < 0 || slot >= kSlots[type]) return;
        reply(presets[type][static_cast<size_t>(slot)]);
        return;
    }
    case ReadDsp: reply(makeFrame(269, ReadDsp, sub)); return;
    case EnterProgram: enteredProgramming = true; return;
    case Search: reply(makeFrame(11, Search, 0x01)); return;
    case ReadyMain:
    case ReadyOther: {
        const int board = sub;
        if (board > 4) return;
        announcedBlocks[static_cast<size_t>(board)] = f[10] * 256 + f[11];
        if (board < 4) {
            firmware[static_cast<size_t>(board)].clear();
            nextBlock_[static_cast<size_t>(board)] = 0;
        }
        Bytes ack = makeFrame(15, command, sub);
        ack[12] = failsAt(board, -1) ? 1 : 0;
        reply(std::move(ack));
        return;
    }
    case BlockMain:
    case BlockOther: {
        const int board = sub;
        if (board >= 4 || f.size() != 1040) return;
        const int block = f[10] * 256 + f[11];
        if (dropAt_ == std::pair{board, block}) {
            dropAt_ = {-1, -1};
            linkDropDue_ = true;
            return;
        }
        int& next = nextBlock_[static_cast<size_t>(board)];
        Bytes& image = firmware[static_cast<size_t>(board)];
        if (block == next && rewind_.board == board && rewind_.atBlock == block) {
            image.resize(static_cast<size_t>(rewind_.toBlock) * 1024);
            next = rewind_.toBlock;
            rewind_ = {};
        } else if (block == next) {
            image.insert(image.end(), f.begin() + 12, f.begin() + 1036);
            ++next;
        }
        Bytes ack = makeFrame(15, command, sub);
        ack[10] = static_cast<uint8_t>(next >> 8);
        ack[11] = static_cast<uint8_t>(next & 0xFF);
        ack[12] = failsAt(board, next) ? 1 : 0;
        // The main board restarts with its new image once the last block is in.
        if (board == 0 && ack[12] == 0 && next == announcedBlocks[0] && rebootDropsLink_) linkDropDue_ = true;
        reply(std::move(ack));
        return;
    }
    default: return;
    }
}

}  // namespace sim
