#include "convert/conversion_state.hpp"

#include <algorithm>

ConversionState conversion;

namespace {

// Large blocks keep the number of system calls per megabyte small; the
// message buffer's memory part holds all but exceptionally long messages.
unsigned char staged_block[block_size];
unsigned char mailbox_block[block_size];
unsigned char message_memory[message_memory_size];

} // namespace

void conversion_buffers_init(std::size_t block_capacity, std::size_t message_capacity)
{
    block_capacity = std::clamp<std::size_t>(block_capacity, 1, block_size);
    message_capacity = std::clamp<std::size_t>(message_capacity, 1, message_memory_size);
    conversion.staged_file.data = staged_block;
    conversion.staged_file.capacity = block_capacity;
    conversion.mailbox_file.data = mailbox_block;
    conversion.mailbox_file.capacity = block_capacity;
    conversion.message_buffer_file.data = message_memory;
    conversion.message_buffer_file.capacity = message_capacity;
}
