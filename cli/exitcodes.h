// The flasher's exit codes; the help text and the README list them.
#ifndef LUMORA_EXITCODES_H
#define LUMORA_EXITCODES_H

enum ExitCode {
    ExitDone = 0,
    ExitFailed = 1,          // the device list could not be read
    ExitUsage = 2,
    ExitNoSuchDevice = 3,
    ExitOpenFailed = 4,
    ExitBadFile = 5,
    ExitPagesRefused = 6,
    ExitNotConfirmed = 7,
    ExitInterrupted = 8,
    ExitWidgetLost = 9,
    ExitOutputFailed = 10,
};

// Of two exit codes of a run of several widgets, the one that tells of the
// worse outcome: 9, 6, 4, 3, 8, 10, then 0.
int worseExitCode(int a, int b);

#endif
