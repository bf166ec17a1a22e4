#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "programming/ProgrammingSequence.h"

class ReaderPort;

// A programming job of the command line: the same inputs the programming dialog gets.
struct CliProgrammingJob {
    ProgrammingInputs inputs;
    int destination = 0;  // block files: 1 is the auxiliary module
};

// The job verbs (serial, usb-settings, firmware, sendfile, btl) and their arguments.
bool IsProgrammingVerb(const std::string& verb);
// Parses the arguments behind verb from args[i] on, advancing i; false with a message in error.
bool ParseProgrammingJob(const std::string& verb, const std::vector<std::string>& args, size_t& i,
                         CliProgrammingJob& job, std::string& error);
std::string ProgrammingUsage();

// Runs the job to its end, printing its log lines (and a progress bar for file transfers when
// progress is set); true when it succeeded. failure gets the last log line of a failed run.
bool RunProgrammingJob(ReaderPort& port, Clock& clock, const CliProgrammingJob& job, std::ostream& out,
                       bool progress, std::string& failure);
