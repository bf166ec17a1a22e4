#pragma once

#include <functional>

#include "programming/ProgrammingSequence.h"

class CReaderWorker;
class Clock;
class QWidget;
class ReaderPort;

// Runs one programming job in a modal progress dialog; true when the job ended with OK (the dialog
// closed itself). ended sees the finished sequence, for the production record, before the dialog
// goes. The production page runs every job through a function of this shape, so that tests and
// other dialogs can stand in.
using ProgrammingRunner = std::function<bool(const ProgrammingInputs& inputs,
                                             const std::function<void(const ProgrammingSequence&)>& ended)>;

// The progress dialog over the sequence: each step runs on the worker that owns port, the next
// one after the delay the sequence asks for (on a fake clock the clock is moved on instead).
bool RunProgrammingJob(QWidget* parent, ReaderPort& port, CReaderWorker& worker, Clock& clock,
                       const ProgrammingInputs& inputs,
                       const std::function<void(const ProgrammingSequence&)>& ended);
