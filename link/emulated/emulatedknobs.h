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

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
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

// Widgets plugged in and pulled out at times after a start, from a value of
// events separated by commas: MS:+SERIAL plugs in a widget with that serial
// string MS milliseconds after the start, MS:-SERIAL pulls it out. The
// emulated bus takes it from LUMORA_EMULATOR_PLUG, the USB chip runner from
// its --plug option.
class PlugSchedule
{
public:
    // Empty when `value` reads as such events, else what is wrong and what
    // it expects.
    static QString problem(const QByteArray &value);
    // From now on, on a thread of its own, calls `plug` with each event's
    // serial string and whether it goes in; events it cannot read are passed
    // over. A schedule runs once: a second start is ignored.
    void start(const QByteArray &value, std::function<void(const QByteArray &serial, bool in)> plug);
    // The events still to come are dropped; one under way ends first.
    void stop();
    ~PlugSchedule() { stop(); }

private:
    std::mutex m_lock;
    std::condition_variable m_stopped;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace lumora

#endif
