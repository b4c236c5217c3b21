#include "mbx/background_io.hpp"

#include "convert/file_io.hpp"
#include "mbx/platform.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// The jobs handed over and not yet done, in order: one for each reader and
// output at most, so a few places are plenty; a job that finds none is
// done at once. The thread allocates nothing.
constexpr std::size_t job_places = 16;

// A thread that waits for the other looks again and again for a little
// while, giving way to any other that can run, before it sleeps: a
// sleeping processor of a virtual machine can take longer to wake than a
// block takes to read.
constexpr auto spin_time = std::chrono::microseconds(50);

struct Worker {
    std::mutex lock;
    std::condition_variable work, done;
    std::array<BackgroundJob*, job_places> queue{};
    std::size_t first = 0, count = 0;
    std::atomic<std::size_t> queued{0}; // `count`, to look at without the lock
    bool started = false, refused = false;
};

template <typename Ready> void spin_until(Ready ready)
{
    const auto until = std::chrono::steady_clock::now() + spin_time;
    while (!ready() && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
}

// Never destroyed: the thread waits on it until the process ends.
Worker& worker()
{
    static Worker* const the_worker = new Worker;
    return *the_worker;
}

void fail(BackgroundJob& job)
{
    job.error = errno != 0 ? errno : EIO;
    errno = job.error;
    std::strncpy(job.reason, io_error_text(), sizeof job.reason - 1);
}

void run(BackgroundJob& job)
{
    errno = 0;
    if (job.write) {
        if (io_write(job.fd, job.data, job.size))
            fail(job);
        else
            job.done = job.size;
        return;
    }
    while (job.done < job.size) {
        std::int64_t got = io_read_at(job.fd, job.data + job.done, job.size - job.done,
                                      static_cast<std::int64_t>(job.offset + job.done));
        if (got < 0) {
            fail(job);
            return;
        }
        if (got == 0)
            return;
        job.done += static_cast<std::size_t>(got);
    }
}

void serve()
{
    Worker& w = worker();
    for (;;) {
        spin_until([&w] { return w.queued.load(std::memory_order_acquire) > 0; });
        std::unique_lock<std::mutex> hold(w.lock);
        w.work.wait(hold, [&w] { return w.count > 0; });
        BackgroundJob* job = w.queue[w.first];
        hold.unlock();
        run(*job);
        hold.lock();
        w.first = (w.first + 1) % job_places;
        w.queued = --w.count;
        job->pending.store(false, std::memory_order_release);
        w.done.notify_all();
    }
}

} // namespace

void start_job(BackgroundJob& job)
{
    job.done = 0;
    job.error = 0;
    job.reason[0] = '\0';
    Worker& w = worker();
    {
        std::lock_guard<std::mutex> hold(w.lock);
        if (!w.started && !w.refused) {
            w.started = start_thread(serve);
            w.refused = !w.started;
        }
        if (w.started && w.count < job_places) {
            job.pending = true;
            w.queue[(w.first + w.count) % job_places] = &job;
            w.queued = ++w.count;
            w.work.notify_one();
            return;
        }
    }
    run(job);
}

void finish_job(BackgroundJob& job)
{
    auto done = [&job] { return !job.pending.load(std::memory_order_acquire); };
    spin_until(done);
    if (done())
        return;
    Worker& w = worker();
    std::unique_lock<std::mutex> hold(w.lock);
    w.done.wait(hold, done);
}
