#include "convert/message_buffer.hpp"

#include "convert/file_io.hpp"
#include "convert/interrupt.hpp"

#include <cerrno>
#include <cstring>

int message_buffer_open(MessageBuffer& buffer)
{
    buffer.used = 0;
    buffer.spilled = 0;
    // Where the file system cannot make an unnamed file, a named one is made
    // and its name removed at once; no interrupt may fall in between.
    block_interrupts();
    buffer.fd = io_open_anonymous();
    unblock_interrupts();
    return buffer.fd < 0 ? 1 : 0;
}

// The memory part is full: it goes to the file, and the text continues in
// memory (or, when larger than the memory part, goes to the file as well).
int message_buffer_spill(MessageBuffer& buffer, const void* data, std::size_t size)
{
    if (io_write(buffer.fd, buffer.data, buffer.used))
        return 1;
    buffer.spilled += static_cast<std::int64_t>(buffer.used);
    buffer.used = 0;
    if (size > buffer.capacity) {
        buffer.spilled += static_cast<std::int64_t>(size);
        return io_write(buffer.fd, data, size);
    }
    std::memcpy(buffer.data, data, size);
    buffer.used = size;
    return 0;
}

// A spilled text is read back through the memory part, which by then has
// been written out to the file and is free.
int message_buffer_copy_to(MessageBuffer& buffer, OutputFile& out, bool& out_failed)
{
    out_failed = false;
    if (buffer.spilled == 0) {
        out_failed = out_put(out, buffer.data, buffer.used) != 0;
        return out_failed ? 1 : 0;
    }
    if (io_write(buffer.fd, buffer.data, buffer.used) || io_seek(buffer.fd, 0))
        return 1;
    buffer.spilled += static_cast<std::int64_t>(buffer.used);
    buffer.used = 0;
    for (std::int64_t left = buffer.spilled; left > 0;) {
        ssize_t got = io_read(buffer.fd, buffer.data, buffer.capacity);
        if (got == 0)
            errno = EIO; // the file is shorter than what was written to it
        if (got <= 0)
            return 1;
        if (out_put(out, buffer.data, static_cast<std::size_t>(got))) {
            out_failed = true;
            return 1;
        }
        left -= got;
    }
    return 0;
}

int message_buffer_reset(MessageBuffer& buffer)
{
    buffer.used = 0;
    if (buffer.spilled == 0)
        return 0;
    buffer.spilled = 0;
    return (io_truncate(buffer.fd) || io_seek(buffer.fd, 0)) ? 1 : 0;
}

void message_buffer_close(MessageBuffer& buffer)
{
    if (buffer.fd >= 0)
        io_close_discarded(buffer.fd);
    buffer.fd = -1;
    buffer.used = 0;
    buffer.spilled = 0;
}
