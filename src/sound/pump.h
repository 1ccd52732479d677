// The streaming thread: one thread keeps the queues of every playing stream filled, waking
// every 200 ms (every 50 ms while a stream is playing out its last data), so that eight
// sounds cost one wake-up where they would cost eight. Headless, it first renders the
// loopback output up to now, so the frames the queues held are used before it refills them.
// Internal to sound/.
//
// Threading contract: the thread services the streams under the pump's lock, which it never
// holds across a wait; add() and remove() take the same lock, so once remove() returns the
// thread no longer touches the stream. A stream's own lock is taken after the pump's, never
// before: callers of add() and remove() must not hold it. The thread ends by itself when no
// stream is left (or the engine quits); add() starts it again, joining the one before.
#pragma once

namespace kestrune::sound {

class SoundStream;

void pump_add(SoundStream* stream);
void pump_remove(SoundStream* stream);
// A stream resumed: its queue ran down while it was paused, so the pump refills at once.
void pump_wake();

} // namespace kestrune::sound
