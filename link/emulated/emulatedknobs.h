// The knobs that shape the behaviour of emulated widgets from outside the
// process, in one table: the emulated bus reads them from the environment,
// the tests' USB chip runner from options named after them
// (LUMORA_EMULATOR_LATENCY_MS is --latency-ms). A knob is added here alone.
//
// A value is a comma-separated list; an item SERIAL:VALUE is for the widget
// with that serial string alone, any other item for every widget.
#ifndef LUMORA_EMULATEDKNOBS_H
#define LUMORA_EMULATEDKNOBS_H

#include <QByteArray>

#include <utility>
#include <vector>

namespace lumora {

class EmulatedWidget;

struct EmulatorKnob
{
    const char *variable; // LUMORA_EMULATOR_...
    const char *example;  // a value, for usage lines
    const char *help;
    void (*apply)(EmulatedWidget &widget, const QByteArray &value);

    // The knob as a command-line option: --latency-ms for
    // LUMORA_EMULATOR_LATENCY_MS.
    QByteArray option() const;
};

const std::vector<EmulatorKnob> &emulatorKnobs();

// Values given to knobs; a default-constructed set shapes nothing.
class EmulatorKnobValues
{
public:
    // Every knob whose variable is set.
    static EmulatorKnobValues fromEnvironment();
    // False when no knob has this option name.
    bool setOption(const QByteArray &option, const QByteArray &value);
    // Gives the widget the behaviour the values ask of it.
    void shape(EmulatedWidget &widget) const;

private:
    std::vector<std::pair<const EmulatorKnob *, QByteArray>> m_values;
};

} // namespace lumora

#endif
