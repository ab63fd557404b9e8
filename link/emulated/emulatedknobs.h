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
#include <QStringList>

#include <utility>
#include <vector>

namespace lumora {

class EmulatedWidget;

// What each item of a knob's value may be, SERIAL: taken off.
struct KnobItems
{
    const char *expected; // for messages: "whole numbers separated by commas..."
    bool (*accepts)(const QByteArray &item);
};

struct EmulatorKnob
{
    const char *variable; // LUMORA_EMULATOR_...
    const char *example;  // a value, for usage lines
    const char *help;
    KnobItems items;
    void (*apply)(EmulatedWidget &widget, const QByteArray &value);

    // The knob as a command-line option: --latency-ms for
    // LUMORA_EMULATOR_LATENCY_MS.
    QByteArray option() const;
    // Empty when every item of `value` is one the knob takes, else what is
    // wrong and what it expects.
    QString problem(const QByteArray &value) const;
};

const std::vector<EmulatorKnob> &emulatorKnobs();

// Every LUMORA_EMULATOR* variable, for the documentation: its name, an
// example value and what it does.
struct EmulatorVariableDoc
{
    const char *variable;
    const char *example;
    const char *help;
};
std::vector<EmulatorVariableDoc> emulatorVariableDocs();

// One line for each LUMORA_EMULATOR* variable that is malformed, unknown
// (a misspelt name), or set without LUMORA_EMULATOR, naming the variable,
// its value and what it expects; empty when all are sound. These variables
// decide whether real widgets are touched: a program checks them before
// anything runs and refuses to guess.
QStringList emulatorSettingsProblems();

// Values given to knobs; a default-constructed set shapes nothing.
class EmulatorKnobValues
{
public:
    // Every knob whose variable is set.
    static EmulatorKnobValues fromEnvironment();
    void set(const EmulatorKnob &knob, const QByteArray &value);
    // Gives the widget the behaviour the values ask of it.
    void shape(EmulatedWidget &widget) const;

private:
    std::vector<std::pair<const EmulatorKnob *, QByteArray>> m_values;
};

} // namespace lumora

#endif
