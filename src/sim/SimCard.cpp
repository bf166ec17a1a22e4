#include "sim/SimCard.h"

#include <algorithm>

namespace {

constexpr uint8_t kTransportAccess[4] = {0xFF, 0x07, 0x80, 0x69};

// Who may do what on a data block, by C1C2C3: bit 0 key A, bit 1 key B.
constexpr uint8_t kA = 1, kB = 2, kAB = 3, kNever = 0;
struct DataRights {
    uint8_t read, write, increment, decrement;
};
constexpr DataRights kDataRights[8] = {
    {kAB, kAB, kAB, kAB},           // 000 transport configuration
    {kAB, kNever, kNever, kAB},     // 001 value block, decrement only
    {kAB, kNever, kNever, kNever},  // 010 read only
    {kB, kB, kNever, kNever},       // 011
    {kAB, kB, kNever, kNever},      // 100
    {kB, kNever, kNever, kNever},   // 101
    {kAB, kB, kB, kAB},             // 110 value block, recharged with key B
    {kNever, kNever, kNever, kNever},
};

// Who may write the parts of a trailer, by C1C2C3.
struct TrailerRights {
    uint8_t writeKeyA, writeAccess, writeKeyB;
};
constexpr TrailerRights kTrailerRights[8] = {
    {kA, kNever, kA},          // 000
    {kA, kA, kA},              // 001 transport configuration
    {kNever, kNever, kNever},  // 010
    {kB, kB, kB},              // 011
    {kB, kNever, kB},          // 100
    {kNever, kB, kNever},      // 101
    {kNever, kNever, kNever},  // 110
    {kNever, kNever, kNever},  // 111
};

}  // namespace

SimCard::SimCard(uint32_t uid) : m_dwUid(uid) {
    Block& manufacturer = m_blocks[0];
    for (int i = 0; i < 4; ++i) {
        manufacturer[i] = static_cast<uint8_t>(uid >> (8 * i));
    }
    manufacturer[4] = manufacturer[0] ^ manufacturer[1] ^ manufacturer[2] ^ manufacturer[3];
    manufacturer[5] = kSak;
    manufacturer[6] = static_cast<uint8_t>(kCardType);
    manufacturer[7] = static_cast<uint8_t>(kCardType >> 8);
    for (uint32_t sector = 0; sector < kBlockCount / 4; ++sector) {
        SetSectorKeys(sector, kTransportKey, kTransportKey);
        std::copy(std::begin(kTransportAccess), std::end(kTransportAccess),
                  m_blocks[sector * 4 + 3].begin() + 6);
    }
}

void SimCard::SetSectorKeys(uint32_t sector, const Key& keyA, const Key& keyB) {
    Block& trailer = m_blocks.at(sector * 4 + 3);
    std::copy(keyA.begin(), keyA.end(), trailer.begin());
    std::copy(keyB.begin(), keyB.end(), trailer.begin() + 10);
}

SimCard::Block SimCard::ValueBlock(int32_t value, uint8_t address) {
    Block data{};
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        data[i] = static_cast<uint8_t>(v >> (8 * i));
        data[4 + i] = static_cast<uint8_t>(~data[i]);
        data[8 + i] = data[i];
    }
    data[12] = address;
    data[13] = static_cast<uint8_t>(~address);
    data[14] = address;
    data[15] = static_cast<uint8_t>(~address);
    return data;
}

std::optional<std::pair<int32_t, uint8_t>> SimCard::ParseValueBlock(const Block& data) {
    for (int i = 0; i < 4; ++i) {
        if (data[i] != data[8 + i] || data[i] != static_cast<uint8_t>(~data[4 + i])) {
            return std::nullopt;
        }
    }
    if (data[12] != data[14] || data[13] != data[15] || data[12] != static_cast<uint8_t>(~data[13])) {
        return std::nullopt;
    }
    const uint32_t v = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
    return std::make_pair(static_cast<int32_t>(v), data[12]);
}

void SimCard::SetState(State state) {
    m_nState = state;
    if (state != StateActive) {
        m_nAuthSector = -1;
    }
}

std::optional<uint32_t> SimCard::AccessBits(uint32_t block) const {
    const Block& trailer = m_blocks[SectorOf(block) * 4 + 3];
    const uint8_t b6 = trailer[6], b7 = trailer[7], b8 = trailer[8];
    if ((b6 & 0x0F) != (~(b7 >> 4) & 0x0F) || (b6 >> 4) != (~b8 & 0x0F) ||
        (b7 & 0x0F) != (~(b8 >> 4) & 0x0F)) {
        return std::nullopt;
    }
    const uint32_t i = block % 4;
    const uint32_t c1 = (b7 >> (4 + i)) & 1, c2 = (b8 >> i) & 1, c3 = (b8 >> (4 + i)) & 1;
    return (c1 << 2) | (c2 << 1) | c3;
}

bool SimCard::IsKeyBReadable(uint32_t sector) const {
    // With trailer conditions 000, 001 and 010 key B is plain data, readable with key A, and
    // cannot serve for authentication.
    const auto bits = AccessBits(sector * 4 + 3);
    return bits && (*bits == 0 || *bits == 1 || *bits == 2);
}

bool SimCard::Authenticate(uint32_t block, bool keyB, const Key& key) {
    const uint32_t sector = SectorOf(block);
    const Block& trailer = m_blocks[sector * 4 + 3];
    const bool match = std::equal(key.begin(), key.end(), trailer.begin() + (keyB ? 10 : 0));
    if (m_nState != StateActive || !match || (keyB && IsKeyBReadable(sector))) {
        SetState(StateIdle);
        return false;
    }
    m_nAuthSector = static_cast<int>(sector);
    m_bAuthKeyB = keyB;
    return true;
}

bool SimCard::IsAllowed(uint32_t block, Operation op) const {
    const auto bits = AccessBits(block);
    if (!IsAuthenticated(block) || !bits || IsTrailer(block)) {
        return false;
    }
    const DataRights& rights = kDataRights[*bits];
    const uint8_t who = op == OpRead        ? rights.read
                        : op == OpWrite     ? rights.write
                        : op == OpIncrement ? rights.increment
                                            : rights.decrement;
    return (who & (m_bAuthKeyB ? kB : kA)) != 0;
}

SimCard::Block SimCard::ReadForReader(uint32_t block) const {
    Block data = m_blocks[block];
    if (IsTrailer(block)) {
        std::fill(data.begin(), data.begin() + 6, 0);
        if (!IsKeyBReadable(SectorOf(block))) {
            std::fill(data.begin() + 10, data.end(), 0);
        }
    }
    return data;
}

bool SimCard::WriteFromReader(uint32_t block, const Block& data) {
    if (block == 0) {
        return false;  // the manufacturer block is read-only
    }
    if (!IsTrailer(block)) {
        if (!IsAllowed(block, OpWrite)) {
            return false;
        }
        m_blocks[block] = data;
        return true;
    }
    const auto bits = AccessBits(block);
    if (!IsAuthenticated(block) || !bits) {
        return false;
    }
    const TrailerRights& rights = kTrailerRights[*bits];
    const uint8_t key = m_bAuthKeyB ? kB : kA;
    Block& trailer = m_blocks[block];
    bool wrote = false;
    if (rights.writeKeyA & key) {
        std::copy(data.begin(), data.begin() + 6, trailer.begin());
        wrote = true;
    }
    if (rights.writeAccess & key) {
        std::copy(data.begin() + 6, data.begin() + 10, trailer.begin() + 6);
        wrote = true;
    }
    if (rights.writeKeyB & key) {
        std::copy(data.begin() + 10, data.end(), trailer.begin() + 10);
        wrote = true;
    }
    return wrote;
}
