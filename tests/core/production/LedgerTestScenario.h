#pragma once

// The ledger's behaviour, the same on every back end: each test runs it on its own database.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "production/Ledger.h"
#include "production/ProductionRecord.h"

inline std::unique_ptr<Ledger> OpenLedgerForTest(const std::string& location, const std::string& station) {
    std::string error;
    std::unique_ptr<Ledger> ledger = Ledger::Open(location, LedgerStation::ThisProcess(station), error);
    EXPECT_TRUE(ledger) << error;
    return ledger;
}

inline LedgerRequest UsbRequest(uint32_t number, bool exact) {
    return {"Desk USB", "SerialAndUsbSettings", true, true, number, exact, 999999, "QV", ""};
}

inline LedgerRequest SerialRequest(uint32_t number, bool exact) {
    return {"Terminal", "SerialOnly", true, false, number, exact, 99999999, "", ""};
}

// Two stations on one ledger: counted numbers are the next free ones, a number that went out stays
// used, one that never went out comes back, a typed used number is refused with where it went, and
// the top of a space ends the count instead of wrapping.
inline void RunLedgerScenario(const std::string& location) {
    std::unique_ptr<Ledger> a = OpenLedgerForTest(location, "line-1");
    std::unique_ptr<Ledger> b = OpenLedgerForTest(location, "line-2");
    ASSERT_TRUE(a && b);
    std::string error;
    LedgerRun run;
    struct Step {
        Ledger* ledger;
        LedgerRequest request;
        uint32_t expected;
        bool succeeded;
        bool cancelled;
        bool sent;
    } steps[] = {
        {a.get(), UsbRequest(0, false), 0, true, false, true},     // run 1: stored
        {b.get(), UsbRequest(0, false), 1, false, false, false},   // run 2: failed before it went out
        {a.get(), UsbRequest(0, false), 1, false, false, true},    // run 3: went out, not confirmed
        {b.get(), SerialRequest(2, true), 2, false, true, false},  // run 4: cancelled
        {b.get(), SerialRequest(0, false), 2, true, false, true},  // run 5: the USB numbers hold 0, 1
        {a.get(), UsbRequest(999998, false), 999998, true, false, true},
        {b.get(), UsbRequest(999998, false), 999999, true, false, true},
    };
    for (const Step& step : steps) {
        ASSERT_EQ(step.ledger->ReserveRun(step.request, 1000, run, error), Ledger::Reserve::Reserved)
            << error;
        EXPECT_EQ(step.request.bUsb ? run.usbSerial : run.mifareSerial, step.expected);
        ASSERT_TRUE(
            step.ledger->FinishRun(run.nId, step.succeeded, step.cancelled, step.sent, "end", 1001, error))
            << error;
    }
    EXPECT_EQ(a->ReserveRun(UsbRequest(999998, false), 1000, run, error), Ledger::Reserve::Exhausted);
    EXPECT_EQ(
        error,
        "No free USB serial number is left from 999998 to 999999: the numbers of this space are used up.");
    const std::string when = ProductionRecord::FormatTime(1000);
    EXPECT_EQ(b->ReserveRun(UsbRequest(0, true), 1000, run, error), Ledger::Reserve::Used);
    EXPECT_EQ(error, "USB serial number 000000 was given out on " + when +
                         " at station line-1 (profile Desk USB, run 1, stored).");
    EXPECT_EQ(b->ReserveRun(SerialRequest(1, true), 1000, run, error), Ledger::Reserve::Used);
    EXPECT_EQ(error, "Serial number 00000001 was given out on " + when +
                         " at station line-1 (profile Desk USB, run 3, unknown).");
    std::string next;
    EXPECT_EQ(b->NextFree(true, false, 0, 99999999, next), 3u) << next;
    EXPECT_EQ(b->NextFree(false, true, 0, 999999, next), 2u) << next;

    // A firmware download holds no number but is a run all the same.
    const LedgerRequest firmware{"Desk USB", "DownloadFirmware", false, false, 0, false, 0, "", "fw.a07"};
    ASSERT_EQ(a->ReserveRun(firmware, 1002, run, error), Ledger::Reserve::Reserved) << error;
    ASSERT_TRUE(a->FinishRun(run.nId, true, false, false, "", 1003, error)) << error;

    std::vector<LedgerRun> runs;
    ASSERT_TRUE(b->ListRuns({}, runs, error)) << error;
    ASSERT_EQ(runs.size(), 8u);
    EXPECT_EQ(runs[0].strFile, "fw.a07");
    EXPECT_EQ(LedgerExportLine(runs[5]),
              when + ",Desk USB,SerialAndUsbSettings,00000001,QV000001,failed,end,,line-1,unknown");
    ASSERT_TRUE(b->ListRuns({0, "", "", true}, runs, error));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].nId, 3);
    ASSERT_TRUE(b->ListRuns({2, "Desk USB", "line-2", false}, runs, error));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].usbSerial, 999999u);
    EXPECT_EQ(runs[1].outcome, LedgerOutcome::Failed);

    EXPECT_FALSE(a->Release(0, "mistake", 1004, error));
    EXPECT_EQ(
        error,
        "USB serial number 000000 is stored in a reader (run 1, station line-1): it cannot be released.");
    std::vector<std::string> problems;
    ASSERT_TRUE(a->Check(problems, error)) << error;
    EXPECT_TRUE(problems.empty()) << problems[0];
}

// Stations that reserve at the same moment, each with its own connection, get distinct numbers.
inline void RunConcurrentReservations(const std::string& location) {
    constexpr int kStations = 4;
    constexpr int kEach = 25;
    std::vector<std::vector<uint32_t>> numbers(kStations);
    std::vector<std::string> errors(kStations);
    {
        std::vector<std::unique_ptr<Ledger>> ledgers;
        for (int i = 0; i < kStations; ++i) {
            ledgers.push_back(OpenLedgerForTest(location, "station-" + std::to_string(i)));
            ASSERT_TRUE(ledgers.back());
        }
        std::vector<std::thread> threads;
        for (int i = 0; i < kStations; ++i) {
            threads.emplace_back([&, i] {
                for (int n = 0; n < kEach && errors[i].empty(); ++n) {
                    LedgerRun run;
                    std::string error;
                    if (ledgers[i]->ReserveRun(UsbRequest(0, false), 1000, run, error) !=
                            Ledger::Reserve::Reserved ||
                        !ledgers[i]->FinishRun(run.nId, true, false, true, "", 1001, error)) {
                        errors[i] = error;
                        return;
                    }
                    numbers[i].push_back(*run.usbSerial);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    std::set<uint32_t> all;
    for (int i = 0; i < kStations; ++i) {
        EXPECT_EQ(errors[i], "");
        all.insert(numbers[i].begin(), numbers[i].end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kStations * kEach));
    EXPECT_EQ(*all.rbegin(), static_cast<uint32_t>(kStations * kEach - 1)) << "no number skipped";
}
