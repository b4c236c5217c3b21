#include "convert/conversion_state.hpp"

ConversionState conversion;

namespace {

// Large blocks keep the number of system calls per megabyte small; the
// message buffer's memory part holds all but exceptionally long messages.
constexpr std::size_t block_size = 256 * 1024;
constexpr std::size_t message_memory_size = 1024 * 1024;

unsigned char staged_block[block_size];
unsigned char mailbox_block[block_size];
unsigned char message_memory[message_memory_size];

} // namespace

void conversion_buffers_init()
{
    conversion.staged_file.data = staged_block;
    conversion.staged_file.capacity = block_size;
    conversion.mailbox_file.data = mailbox_block;
    conversion.mailbox_file.capacity = block_size;
    conversion.message_buffer_file.data = message_memory;
    conversion.message_buffer_file.capacity = message_memory_size;
}
