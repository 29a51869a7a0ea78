#include "app/StartupRules.h"

#include "diagnostics/Globalfunctions.h"

#include <cstring>

namespace app {

namespace {
constexpr int MAX_LOG_LEVEL = 255;
}

StartupOutputs readCommandLine(int argc, const char* const* argv)
{
    // Log entries start in the file so that -NoLogFile has something to remove.
    StartupOutputs outputs{LOG_TO_CONSOLE, LOG_TO_FILE};
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i] ? argv[i] : "";
        if (std::strcmp(argument, OPTION_DEBUG_MSG) == 0)
            outputs.errorOutputs |= LOG_TO_MESSAGEBOX;
        else if (std::strcmp(argument, OPTION_NO_LOG_FILE) == 0)
            outputs.logOutputs &= ~LOG_TO_FILE;
        else
            reportError(std::string("Bad executable argument\t") + argument);
    }
    return outputs;
}

void configureDiagnostics(const StartupOutputs& outputs, const std::string& dataDirectory)
{
    configureErrors(outputs.errorOutputs, dataDirectory, APPLICATION_NAME);
    configureLog(outputs.logOutputs, MAX_LOG_LEVEL, false, true, APPLICATION_NAME);
}

} // namespace app
