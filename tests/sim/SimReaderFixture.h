#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "link/Clock.h"
#include "sim/SimReader.h"

// The PC's side of the line, byte by byte, against a reader on a fake clock.
class SimReaderFixture : public ::testing::Test {
protected:
    using Bytes = std::vector<uint8_t>;
    static constexpr uint8_t STX = 0x02, ETX = 0x03, DLE = 0x10, NAK = 0x15;

    // Sends bytes and returns what the reader answers at once.
    Bytes Send(const Bytes& bytes) {
        reader.Receive(bytes);
        return Take();
    }
    Bytes Take() {
        Bytes out;
        reader.Transmit(out);
        return out;
    }
    // The telegram with its block check, DLE doubled, closed by DLE ETX.
    static Bytes Frame(Bytes telegram) {
        uint8_t bcc = 0;
        for (uint8_t b : telegram) {
            bcc ^= b;
        }
        telegram.push_back(bcc);
        Bytes framed;
        for (uint8_t b : telegram) {
            framed.push_back(b);
            if (b == DLE) {
                framed.push_back(DLE);
            }
        }
        framed.push_back(DLE);
        framed.push_back(ETX);
        return framed;
    }
    // Removes the doubling and the end mark; fails the test when the end mark is missing.
    static Bytes Unframe(const Bytes& wire) {
        Bytes telegram;
        for (size_t i = 0; i < wire.size(); ++i) {
            if (wire[i] == DLE && i + 1 < wire.size()) {
                if (wire[i + 1] == ETX) {
                    return telegram;
                }
                ++i;
            }
            telegram.push_back(wire[i]);
        }
        ADD_FAILURE() << "no DLE ETX";
        return telegram;
    }
    // One 3964R exchange as the PC runs it; returns the answer telegram (sequence, status, length,
    // data, BCC).
    Bytes Exchange(uint8_t sequence, uint8_t command, const Bytes& params) {
        EXPECT_EQ(Send({STX}), Bytes{DLE});
        Bytes request{sequence, command, static_cast<uint8_t>(params.size())};
        request.insert(request.end(), params.begin(), params.end());
        EXPECT_EQ(Send(Frame(request)), (Bytes{DLE, STX}));
        const Bytes answer = Unframe(Send({DLE}));
        lastAfterAck = Send({DLE});
        return answer;
    }
    // The status byte and data of an exchange with an automatic sequence number.
    struct Result {
        uint8_t status;
        Bytes data;
    };
    Result Command(uint8_t command, const Bytes& params = {}) {
        const Bytes answer = Exchange(sequence++, command, params);
        if (answer.size() < 4) {
            ADD_FAILURE() << "short answer";
            return {0xFF, {}};
        }
        return {answer[1], Bytes(answer.begin() + 3, answer.end() - 1)};
    }
    // Request, anticollision, select and authenticate with key A from slot 0 for block.
    void SelectAndAuthenticate(uint32_t uid, uint8_t block) {
        ASSERT_EQ(Command(0x41, {0}).status, 0);
        ASSERT_EQ(Command(0x42, {0, 0, 0, 0, 0}).status, 0);
        ASSERT_EQ(
            Command(0x43, {uint8_t(uid), uint8_t(uid >> 8), uint8_t(uid >> 16), uint8_t(uid >> 24)}).status,
            0);
        ASSERT_EQ(Command(0x56, {0, 0, block}).status, 0);
    }

    FakeClock clock{1000};
    SimReader reader{clock};
    uint8_t sequence = 0;
    Bytes lastAfterAck;
};
