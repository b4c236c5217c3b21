// What the file layer of every platform shares: the call count and fault
// injection, and the write-behind buffer.
#include "convert/file_io.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Counted on every thread that makes calls: kestrel-mbx reads and writes
// on a second one beside its work.
std::atomic<std::int64_t> calls_made{0};
[[maybe_unused]] std::int64_t call_to_fail = 0;
[[maybe_unused]] std::int64_t call_to_die_at = 0;
std::atomic<const char*> failed_call{nullptr};
// The names of the first calls, in order, for a test that chooses which
// calls to make fail.
[[maybe_unused]] constexpr std::int64_t call_names_kept = 4096;
[[maybe_unused]] const char* call_names[call_names_kept];
[[maybe_unused]] bool unnamed_refused = false;
[[maybe_unused]] int commit_level = 0;
[[maybe_unused]] bool renamed_contents_lost = false;

} // namespace

bool io_injected_failure([[maybe_unused]] const char* call_name)
{
    [[maybe_unused]] const std::int64_t call = ++calls_made;
#ifdef KESTREL_FAULT_INJECTION
    if (call <= call_names_kept)
        call_names[call - 1] = call_name;
    if (call_to_die_at != 0 && call == call_to_die_at)
        std::_Exit(137);
    if (call_to_fail != 0 && call == call_to_fail) {
        failed_call = call_name;
        errno = EIO;
        return true;
    }
#endif
    return false;
}

std::int64_t io_call_count()
{
    return calls_made;
}

void io_fail_call_number(std::int64_t number)
{
    call_to_fail = number;
}

void io_die_at_call_number(std::int64_t number)
{
    call_to_die_at = number;
}

void io_refuse_unnamed_files()
{
    unnamed_refused = true;
}

bool io_unnamed_files_refused()
{
#ifdef KESTREL_FAULT_INJECTION
    return unnamed_refused;
#else
    return false;
#endif
}

void io_lose_renamed_contents()
{
    renamed_contents_lost = true;
}

bool io_renamed_contents_lost()
{
#ifdef KESTREL_FAULT_INJECTION
    return renamed_contents_lost;
#else
    return false;
#endif
}

void io_narrow_commit(int level)
{
    commit_level = level;
}

int io_commit_level()
{
#ifdef KESTREL_FAULT_INJECTION
    return commit_level;
#else
    return 0;
#endif
}

const char* io_failed_call_name()
{
    return failed_call;
}

const char* io_call_name([[maybe_unused]] std::int64_t number)
{
#ifdef KESTREL_FAULT_INJECTION
    if (number >= 1 && number <= calls_made && number <= call_names_kept)
        return call_names[number - 1];
#endif
    return nullptr;
}

// The clock and the address of the state (which differs between processes
// where addresses are randomised) make the seed; an exclusive creation
// catches the rare name that is taken all the same.
void io_fill_unique_name(char* path)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::uint64_t state = 0;
    if (state == 0)
        state = static_cast<std::uint64_t>(
                    std::chrono::steady_clock::now().time_since_epoch().count()) ^
                reinterpret_cast<std::uintptr_t>(&state) ^ 0x9E3779B97F4A7C15ull;
    const char* last = std::strrchr(path, 'X');
    for (std::size_t i = last != nullptr ? static_cast<std::size_t>(last - path) + 1 : 0;
         i > 0 && path[i - 1] == 'X'; --i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        path[i - 1] = alphabet[state % (sizeof alphabet - 1)];
    }
}

// The block is full: it goes to the file first, and data that would not fit
// in an empty block goes straight after it.
int out_put_past_end(OutputFile& file, const void* data, std::size_t size)
{
    if (out_flush(file))
        return 1;
    if (size >= file.capacity)
        return io_write(file.fd, data, size);
    std::memcpy(file.data, data, size);
    file.used = size;
    return 0;
}

int out_flush(OutputFile& file)
{
    if (file.used == 0)
        return 0;
    std::size_t size = file.used;
    file.used = 0;
    return io_write(file.fd, file.data, size);
}
