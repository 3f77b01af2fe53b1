// Command line of tapestrix.
//
//   tapestrix [/autostart] [--change-now] [--show]
//   tapestrix --version | --help
//
// "/autostart" is read by the main window (it must come first). --change-now and --show are
// requests: handed to the running instance when there is one, done by this start otherwise.
// Every other argument is left alone (Qt reads its own, such as -platform), so a start without
// a request behaves as it always did.
#pragma once

#include "platform/SingleInstance.h"

#include <QString>
#include <QStringList>

#include <vector>

struct TProgramOptions {
    bool Help = false;
    bool Version = false;
    // In the order given, each once. Empty: a plain start.
    std::vector<TSingleInstance::TRequest> Requests;
};

// Reads the arguments after the program's name.
TProgramOptions ParseProgramOptions(const QStringList& arguments);
TProgramOptions ParseProgramOptions(int argc, char** argv);

// What --help and --version print.
QString ProgramHelpText();
QString ProgramVersionText();

// Takes the instance lock, or hands the running instance the options' requests (the restore
// request when there are none) one after the other. The result of Start; NoAnswer when a later
// request was not answered.
TSingleInstance::TStartResult StartOrForward(TSingleInstance& instance,
                                             const TProgramOptions& options);
