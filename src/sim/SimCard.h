#pragma once

#include <array>
#include <cstdint>
#include <optional>

// A MIFARE Classic 1K card: a 4-byte UID, 64 blocks of 16 bytes in 16 sectors of 4, and in the last
// block of every sector the trailer (key A, the access bits, key B).
//
// A new card is in the configuration cards ship with: keys A and B FFFFFFFFFFFF, access bytes
// FF 07 80 69 (data blocks open to both keys, key A reads and writes the trailer), data blocks zero,
// block 0 holding the UID, its check byte, SAK and ATQA.
//
// The card also keeps its protocol state (idle, ready, active, halted) and which sector it is
// authenticated for; the reader drives it.
class SimCard {
public:
    static constexpr uint32_t kBlockCount = 64;
    static constexpr uint32_t kBlockSize = 16;
    static constexpr uint16_t kCardType = 0x0004;  // ATQA of a Classic 1K
    static constexpr uint8_t kSak = 0x08;
    using Block = std::array<uint8_t, kBlockSize>;
    using Key = std::array<uint8_t, 6>;
    static constexpr Key kTransportKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

    enum State : uint32_t { StateIdle, StateReady, StateActive, StateHalt };
    enum Operation : uint32_t { OpRead, OpWrite, OpIncrement, OpDecrement };

    explicit SimCard(uint32_t uid = 0x12345678);

    uint32_t GetUid() const { return m_dwUid; }
    const Block& GetBlock(uint32_t block) const { return m_blocks.at(block); }
    // Stores raw contents, without access checks (for setting a card up).
    void SetBlock(uint32_t block, const Block& data) { m_blocks.at(block) = data; }
    void SetSectorKeys(uint32_t sector, const Key& keyA, const Key& keyB);
    // A value block image: value, its inverse, value, then address, ~address, address, ~address.
    static Block ValueBlock(int32_t value, uint8_t address);
    // The value and address of a well-formed value block; nothing for any other contents.
    static std::optional<std::pair<int32_t, uint8_t>> ParseValueBlock(const Block& data);

    static uint32_t SectorOf(uint32_t block) { return block / 4; }
    static bool IsTrailer(uint32_t block) { return block % 4 == 3; }

    State GetState() const { return m_nState; }
    void SetState(State state);
    bool IsAuthenticated(uint32_t block) const { return m_nAuthSector == static_cast<int>(SectorOf(block)); }

    // Checks the key against the sector trailer; on success the card is authenticated for the sector,
    // on failure it drops back to idle, as a real card stops answering after a failed authentication.
    bool Authenticate(uint32_t block, bool keyB, const Key& key);
    // Whether the key the card is authenticated with may do op on a data block.
    bool IsAllowed(uint32_t block, Operation op) const;
    // What a read returns: trailers hide key A and, where it is secret, key B.
    Block ReadForReader(uint32_t block) const;
    // Writes what the access bits let the authenticated key write; false when nothing may be written.
    bool WriteFromReader(uint32_t block, const Block& data);

private:
    // C1 C2 C3 of one block of the sector as a number 0..7 (C1 the high bit); nothing when the
    // access bytes contradict their inverted copies (a blocked sector).
    std::optional<uint32_t> AccessBits(uint32_t block) const;
    bool IsKeyBReadable(uint32_t sector) const;

    uint32_t m_dwUid;
    std::array<Block, kBlockCount> m_blocks{};
    State m_nState = StateIdle;
    int m_nAuthSector = -1;
    bool m_bAuthKeyB = false;
};
