// Console stop events (Ctrl-C, Ctrl-Break, closing the console; SIGINT,
// SIGTERM and SIGHUP where there are signals), each system meeting them in
// its own way.
#pragma once

// From now on a stop event calls `requestStop`, in whatever context the
// system delivers it (a signal handler, a thread of the system's): it must be
// safe there. It returns false when a stop was already asked for; the
// system's own action for the event then ends the process at once. False
// when the events could not be caught.
bool CatchConsoleStops(bool (*requestStop)());
// Back to the system's own action for every stop event.
void ReleaseConsoleStops();
