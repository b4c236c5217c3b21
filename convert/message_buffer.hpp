// The message buffer: where one message's converted text is gathered until
// its size is known and its record can be written. The text is kept in
// memory up to a fixed bound; a longer message spills into an unnamed
// temporary file in the current directory, so memory stays bounded whatever
// the size of a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct OutputFile;

struct MessageBuffer {
    int fd = -1; // the temporary file, open for reading and writing
    unsigned char* data = nullptr;
    std::size_t capacity = 0;
    std::size_t used = 0;     // bytes of the text held in memory
    std::int64_t spilled = 0; // bytes of the text already in the file
};

// Opens the temporary file; 1 when it cannot be made.
int message_buffer_open(MessageBuffer& buffer);
// Appends to the text; 1 on a write error of the temporary file.
int message_buffer_spill(MessageBuffer& buffer, const void* data, std::size_t size);
inline int message_buffer_put(MessageBuffer& buffer, const void* data, std::size_t size)
{
    if (buffer.used + size > buffer.capacity)
        return message_buffer_spill(buffer, data, size);
    std::memcpy(buffer.data + buffer.used, data, size);
    buffer.used += size;
    return 0;
}
// Appends the whole text to `out`. 1 on a write or read error of the
// temporary file (`out_failed` false) or on a write error of `out` (true).
int message_buffer_copy_to(MessageBuffer& buffer, OutputFile& out, bool& out_failed);
// Empties the buffer for the next message; 1 on an error of the file.
int message_buffer_reset(MessageBuffer& buffer);
void message_buffer_close(MessageBuffer& buffer);
