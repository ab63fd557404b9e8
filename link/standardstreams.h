#ifndef LUMORA_STANDARDSTREAMS_H
#define LUMORA_STANDARDSTREAMS_H

namespace lumora {

// Call first in main(): each of standard input, output and error the process
// was started without (closed, as by `>&-`) is opened again on the null
// device, so that no file opened later takes its number and gets the lines
// meant for the stream. Returns which were closed: bit 0 for standard input,
// 1 for output, 2 for error.
int reopenClosedStandardStreams();

} // namespace lumora

#endif
