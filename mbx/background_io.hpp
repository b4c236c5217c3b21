// Reads and writes that a thread of their own makes while the export goes
// on: the mailbox's next block is read, and the output's last full block
// written, while the messages in hand are made. The thread does the jobs
// one at a time, in the order they are handed over; whoever hands one over
// waits for it before touching its buffer or its descriptor again.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct BackgroundJob {
    bool write = false; // else a read
    int fd = -1;
    unsigned char* data = nullptr;
    std::size_t size = 0;
    std::uint64_t offset = 0; // where a read starts
    // Once done: the bytes read, fewer than `size` at the end of the file;
    // after a failed call, its errno (EIO where the file layer keeps none)
    // and its reason.
    std::size_t done = 0;
    int error = 0;
    char reason[512] = {};
    std::atomic<bool> pending{false}; // handed over and not yet done
};

// Hands the job to the thread, which starts with the first job. Where no
// thread can be started, the job is done at once.
void start_job(BackgroundJob& job);
// Waits until the job is done; returns at once for one never handed over.
void finish_job(BackgroundJob& job);
