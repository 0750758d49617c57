// fork(): the child holds the parent's Core objects but none of their network threads, so a
// call on one would wait forever. The entry points refuse those handles with InvalidState and
// leak them at release; objects the child makes itself work normally.
#pragma once

namespace kestrin::fork_guard {

// Whether handle was made before the last fork() of this process.
bool inherited(const void *handle);
// Track handles made and released since then; no-ops in a process that never forked.
void made(const void *handle);
void released(const void *handle);

} // namespace kestrin::fork_guard
