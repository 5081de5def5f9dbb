#include "RestoreCommand.h"

RestoreCommand::RestoreCommand(HostContext& host, Options options)
    : restore_(host, options), start_(options.start) {}

RestoreCommand::Outcome RestoreCommand::Run() {
    Outcome outcome = restore_.Restore();
    restore_.PrintRestored();
    if (!start_)
        return outcome;
    outcome = restore_.Start();
    restore_.PrintStarted();
    return outcome;
}
