// ambrel-convert's command line: its usage text and the options it parses.
#pragma once

#include <string>
#include <vector>

#include "convert/conversion_job.h"

namespace ambrel::cli {

extern const char* const kUsage;

struct CliOptions
{
    convert::JobOptions job;
    std::vector<std::string> inputs;
    std::vector<std::string> listFiles;  // --files-from
    bool nullSeparated = false;
    bool recursive = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool json = false;
    bool toStdout = false;
    bool formatGiven = false;  // -f: auxiliary images take the format whatever their depth
    bool timestampNames = false;
    bool plainNames = false;
};

struct UsageError
{
    std::string message;
};

// The options of the command line (argv[0] is the program); throws
// UsageError with the message to print for a command line that is wrong.
CliOptions parseArguments(int argc, char** argv);

}  // namespace ambrel::cli
