// IdNativeThread: the platform threads under TIdThread. A thread whose body
// has returned parks for a while and carries the next body it is given, so
// a server with a thread per connection does not create and tear down a
// platform thread for every connection. Bodies see no difference: each runs
// from its start on a thread of its own, and Join waits for its end.
#pragma once

#include <cstddef>
#include <string>

class TIdNativeThread {
public:
    using TBody = void (*)(void* arg);

    // Parked threads at most; a body that ends while this many wait lets
    // its thread end.
    static constexpr size_t MaxParked = 128;
    // How long a parked thread waits for another body before it ends.
    static constexpr int IdleLingerMs = 5000;
    // Parked this long, a thread takes IdleName, so that lists of the
    // process's threads tell waiting ones from working ones.
    static constexpr int RenameAfterMs = 50;
    static constexpr const char* IdleName = "vtl idle";

    TIdNativeThread() = default;
    // Detaches a body nobody joined.
    ~TIdNativeThread();
    TIdNativeThread(const TIdNativeThread&) = delete;
    TIdNativeThread& operator=(const TIdNativeThread&) = delete;

    // Takes a parked thread or, when none waits, makes a new one with a
    // small stack; it waits for its body without being woken until Start.
    // Answers 0, or the platform's error number when no thread could be
    // made.
    int Reserve();
    // Runs body(arg) on the reserved thread (reserving one first when
    // needed); answers as Reserve.
    int Start(TBody body, void* arg);
    // Gives a reserved thread that never got a body back to the park.
    void Unreserve();
    // Waits until the body has returned. Never from the body itself.
    void Join();
    // Stops caring about the body: it runs to its end on its own.
    void Detach();
    // True on the thread that runs the body (while started and not joined
    // or detached).
    bool IsCurrent() const;

    // Names the calling thread for debuggers and process lists (at most 15
    // characters are kept); a thread that already carries the name is left
    // alone. Failure only loses the label.
    static void NameCurrentThread(const std::string& name);
    // Threads waiting for a body right now.
    static size_t ParkedCount();

private:
    class TOffer;
    struct TCarrier;
    static void* CarrierMain(void* arg);

    // Lets go of the body, after waiting for its end when afterBody is set;
    // a reservation without a body goes back to the park.
    void Let(bool afterBody);
    // Waits parked (or freshly made, or reserved) until a body comes;
    // false when the thread is to end instead.
    static bool AwaitBody(TCarrier* carrier);

    TCarrier* carrier_ = nullptr;  // from Reserve to Join, Detach or Unreserve
    bool started_ = false;         // the body was given
};
