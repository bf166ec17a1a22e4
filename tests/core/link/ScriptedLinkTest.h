#pragma once

// A ReaderLink on a USB bridge whose reader is scripted: for the cases a well-behaved reader never
// shows (malformed answers, odd statuses, collisions), on the fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/link/ScriptedBridge.h"
#include "link/MemoryOutputWindow.h"
#include "link/ReaderLink.h"

using Bytes = std::vector<uint8_t>;

// A 3964R reader driven by the PC's writes: it acknowledges STX and the telegram, opens its answer
// with STX, sends the next of its answers when the PC acknowledges that STX, and repeats the
// answer procedure after a NAK.
class ScriptedLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        bridge->onWrite = [this](std::span<const uint8_t> w) { React(Bytes(w.begin(), w.end())); };
        port.SetOutputWindow(&window, false, TraceModeHex);
        ASSERT_EQ(port.OpenPort(PortKindUsb, 0), LR_OK);
        ASSERT_EQ(link.Connect(&port, 9600), LR_OK);
        ASSERT_EQ(link.GetLinkMode(), LinkMode3964R);
        port.SetReadMode(ReadModeNormal);
        bridge->written.clear();
        window.ClearAll();
    }

    void React(const Bytes& w) {
        if (w == Bytes{STX}) {
            if (!stxReplies.empty()) {
                bridge->Send(stxReplies.front());
                stxReplies.erase(stxReplies.begin());
            } else if (ackStx) {
                bridge->Send({DLE});
            }
        } else if (w.size() > 2 && w[w.size() - 2] == DLE && w.back() == ETX) {
            ++telegramsReceived;
            lastRequest.clear();
            for (size_t i = 0; i + 2 < w.size(); ++i) {
                lastRequest.push_back(w[i]);
                if (w[i] == DLE) {
                    ++i;  // the doubled DLE
                }
            }
            if (ackTelegram) {
                bridge->Send({DLE});
                OpenAnswer();
            }
        } else if (w == Bytes{DLE} && answerOpened) {
            answerOpened = false;
            if (!answers.empty()) {
                bridge->Send(answers.front());
                answers.erase(answers.begin());
            }
        } else if (w == Bytes{NAK}) {
            OpenAnswer();
        }
    }
    void OpenAnswer() {
        if (!answers.empty()) {
            bridge->Send({STX});
            answerOpened = true;
        }
    }
    int Count(uint8_t byte) const {
        return static_cast<int>(std::count(bridge->written.begin(), bridge->written.end(), byte));
    }

    FakeClock clock{1000};
    std::shared_ptr<ScriptedBridge> bridge = std::make_shared<ScriptedBridge>(clock);
    MemoryOutputWindow window;
    ReaderPort port{&window, bridge};
    ReaderLink link{clock};

    bool ackStx = true;
    bool ackTelegram = true;
    std::vector<Bytes> stxReplies;  // replies to the PC's STX before the plain DLE
    std::vector<Bytes> answers;     // the reader's telegrams on the wire, one per STX it opens
    bool answerOpened = false;
    int telegramsReceived = 0;
    Bytes lastRequest;  // the last request telegram, DLE doubling removed
};
