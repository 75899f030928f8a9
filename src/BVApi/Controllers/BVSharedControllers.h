#pragma once

// The process's shared controllers stop here, in one written order, before the process
// exits. Shared instances that other threads may hold are never destroyed by exit (they stay
// until the process ends), so what must end is their threads and pending writes:
//   1. the background refresh (its revisit thread and updates use every layer below);
//   2. the network thread, failing the exchanges it still had;
//   3. the shared cache: its writer flushes, then the process lets go of it;
//   4. the shared temporary store and extended-attribute controller.
// A program calls shutdown() (or holds a Guard in main) before it returns; calling it again
// does nothing more.
class BVSharedControllers {
  public:
    static void shutdown();

    // Runs shutdown() when main's scope ends, on every path out of it.
    class Guard {
      public:
        Guard() = default;
        ~Guard() { BVSharedControllers::shutdown(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
    };
};
