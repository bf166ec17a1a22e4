#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "production/LedgerDatabase.h"

// The spaces in which a number is unique: the MIFARE serial numbers stored in readers, and the
// USB serial numbers stored in their bridges.
enum class NumberSpace { Mifare, Usb };

// How a run ended, as the ledger keeps it.
enum class LedgerOutcome {
    Running,    // reserved, the job runs (or its station died: see Unknown)
    Stored,     // the job succeeded: its numbers are in the reader
    Failed,     // failed before a number went out: the numbers are free again
    Cancelled,  // ended by the user before a number went out: the numbers are free again
    Unknown,    // a number went out but was not confirmed, or the station died mid-job
    Released,   // was unknown; the operator gave its numbers free again, with a reason
};

const char* OutcomeName(LedgerOutcome outcome);
std::optional<LedgerOutcome> OutcomeFromName(const std::string& name);
const char* SpaceName(NumberSpace space);

// Who runs a job: the name shown (host name, or the user's), and the process, so that a
// station's next start can tell its own dead runs from running ones.
struct LedgerStation {
    std::string strName;
    std::string strHost;
    int64_t nPid = 0;
    int64_t nPidStart = 0;  // the process's start time, so that a reused pid is not taken for it

    // This process on this host; name: the user's station name, empty for the host name.
    static LedgerStation ThisProcess(const std::string& name = {});
    // Whether the process that ran a job on this host still runs.
    bool IsAlive() const;
};

// One programming run as the ledger keeps it.
struct LedgerRun {
    int64_t nId = 0;
    int64_t tStarted = 0;  // seconds since the epoch
    int64_t tEnded = 0;    // 0 while it runs
    std::string strStation;
    std::string strHost;
    int64_t nPid = 0;
    int64_t nPidStart = 0;
    std::string strProfile;
    std::string strJob;                    // the job's mode name: SerialAndUsbSettings, ...
    std::optional<uint32_t> mifareSerial;  // the jobs that store one
    std::optional<uint32_t> usbSerial;
    std::string strUsbPrefix;  // the manufacturer ID in front of the USB serial number
    std::string strFile;       // the firmware image of a download
    LedgerOutcome outcome = LedgerOutcome::Running;
    std::string strResult;   // OK, failed or cancelled, as the production record has it
    std::string strMessage;  // the run's last log line when it did not succeed; a release's reason
};

// Parses one row of the runs table as the ledger reads it back (kRunColumns); false when a column
// is missing or out of its range (a damaged or foreign row), run then unspecified.
bool ParseRun(const SqlRow& row, LedgerRun& run);

// The export: the production record's columns, then the station and the outcome.
std::string LedgerExportHeader();
std::string LedgerExportLine(const LedgerRun& run);  // without its line end

// What a job asks of the ledger before its reader is woken.
struct LedgerRequest {
    std::string strProfile;
    std::string strJob;
    bool bMifare = false;   // takes a MIFARE serial number
    bool bUsb = false;      // takes a USB serial number (a USB reader's MIFARE number is the same)
    uint32_t dwNumber = 0;  // the number the page shows
    bool bExact = false;    // typed by the user: this number, or a refusal; else the next free from it
    uint32_t dwMax = 0;     // the top of the space(s)
    std::string strUsbPrefix;
    std::string strFile;
};

// Which runs "ledger list" and the page show.
struct LedgerFilter {
    size_t nLast = 0;  // 0: all
    std::string strProfile;
    std::string strStation;
    bool bOpenOnly = false;  // running and unknown runs: the ones an operator must look at
};

// The production ledger: every number given out and every programming run, consulted before a
// number reaches a reader. The same statements run on the embedded file and on a line's server;
// the database's constraints, not only this class, keep a number unique in its space.
class Ledger {
public:
    static constexpr int kSchemaVersion = 1;

    enum class Reserve { Reserved, Used, Exhausted, Failed };

    // Opens the ledger at location: a connection string ("postgresql://...", "postgres://..." or
    // "key=value ...") names a server, anything else a SQLite file. Creates or upgrades the
    // schema, and marks this host's runs whose process has died as unknown. nullptr with the
    // message in error.
    static std::unique_ptr<Ledger> Open(const std::string& location, const LedgerStation& station,
                                        std::string& error);
    // $XDG_DATA_HOME/tagbench/production.sqlite, by default below ~/.local/share.
    static std::string DefaultPath();
    static bool IsServerLocation(const std::string& location);

    Ledger(std::unique_ptr<LedgerDatabase> database, const LedgerStation& station, std::string location);

    // "file PATH" or "server HOST:PORT/DB", with the station: what the page shows.
    std::string Describe() const;
    // "file PATH" or "server HOST:PORT/DB" alone.
    std::string Location() const { return m_db->Describe(); }
    const LedgerStation& Station() const { return m_station; }

    // Claims the request's number(s) and records the run as running, in one transaction. Reserved:
    // run holds the run's id and number. Used: an exact number was given out before (message says
    // when, where and how it ended). Exhausted: no free number from the request's to the top.
    // Failed: the database refused (message).
    Reserve ReserveRun(const LedgerRequest& request, std::time_t when, LedgerRun& run, std::string& message);
    // The run's end. A failed or cancelled run whose number never went out frees its numbers; one
    // whose number went out (numberSent) is unknown and keeps them.
    bool FinishRun(int64_t id, bool succeeded, bool cancelled, bool numberSent, const std::string& message,
                   std::time_t when, std::string& error);
    // The smallest number from "from" up that the request's spaces have free; none when the top
    // is reached.
    std::optional<uint32_t> NextFree(bool mifare, bool usb, uint32_t from, uint32_t max, std::string& error);
    // Newest first.
    bool ListRuns(const LedgerFilter& filter, std::vector<LedgerRun>& runs, std::string& error);
    // Gives the numbers of an unknown run free again, recording who did it and why. Refused for a
    // number that is stored, free, or held by a running job of a live process (message says why).
    bool Release(uint32_t number, const std::string& reason, std::time_t when, std::string& message);
    // The database's storage, then the ledger's own rules (every number held by one run that
    // claims it, no stored run without its number); one problem per line, empty when sound.
    bool Check(std::vector<std::string>& problems, std::string& error);

private:
    bool Prepare(std::string& error);
    bool MarkDeadRuns(std::string& error);
    // The smallest number from "from" to max that the spaces have free; result tells a refusal.
    std::optional<uint32_t> FindFree(bool mifare, bool usb, uint32_t from, uint32_t max, SqlResult& result);
    // Ends the open transaction and puts the database's refusal into error; false.
    bool Fail(const SqlResult& result, std::string& error);

    std::unique_ptr<LedgerDatabase> m_db;
    LedgerStation m_station;
    std::string m_strLocation;
};
