// Repaints while a worker runs. A search's worker reads the window a few
// times and then queues a stream of row writes; every repaint the GUI thread
// makes in between holds up the worker's next read and the rows behind it.
// While any worker runs, a window's repaint waits for its frame: the first
// one frame after it was asked for, then at most one per frame. The calls a
// worker queued in the meantime all reach the window first, in their order,
// and the repaint then shows the window as they left it, so what the user
// ends up seeing is the same. Without a worker, repaints go through as Qt
// schedules them.
#pragma once

namespace cu::window {

// Installs the pacing on the application (GUI thread; once per application).
void pace_repaints_while_workers_run();

}  // namespace cu::window
