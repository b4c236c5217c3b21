// The one record that describes the folder being converted. Staging fills
// it, message assembly and the mailbox writer work on it, and the clean-up
// reads its flags to close exactly what is open and remove what must not
// survive. It lives for the whole run.
#pragma once

#include "app/text_input.hpp"
#include "convert/file_io.hpp"
#include "convert/message_buffer.hpp"

#include <array>
#include <cstdint>

inline constexpr std::size_t staged_name_capacity = 13;
inline constexpr std::size_t base_name_capacity = 255;
inline constexpr std::size_t mailbox_path_capacity = 259;
inline constexpr std::size_t mailbox_temporary_capacity =
    mailbox_path_capacity + uncommitted_name_length;

struct ConversionState {
    int folder_file = -1;
    int staged_write_fd = -1; // the staged copy while it is being filled
    TextInput staged_file;
    OutputFile mailbox_file;
    MessageBuffer message_buffer_file;

    int folder_open = 0;
    int staged_created = 0;
    int staged_open = 0;
    int mailbox_open = 0;
    // The mailbox file has its name on disk, given at the commit point. A
    // failure after that (the flush of the directory, the close) removes
    // the name again.
    int mailbox_named = 0;
    int message_buffer_open = 0;

    std::array<char, staged_name_capacity + 1> staged_name{};
    std::array<char, base_name_capacity + 1> base_name{};
    std::array<char, mailbox_path_capacity + 1> mailbox_path{};
    // Where the file system cannot make unnamed files, the name the mailbox
    // has until the commit point (see io_create_uncommitted); empty while
    // it has none.
    std::array<char, mailbox_temporary_capacity + 1> mailbox_temporary_path{};

    std::int64_t line_number = 0;
    std::int64_t message_count = 0;
    std::int64_t text_size = 0;
    std::int64_t total_text_size = 0;
};

extern ConversionState conversion;

inline constexpr std::size_t block_size = 256 * 1024;
inline constexpr std::size_t message_memory_size = 1024 * 1024;

// Points the streams of `conversion` at the run's block buffers. Called once
// before the first folder. Smaller capacities (at least 1) make tests meet
// block boundaries and spilled messages with small inputs.
void conversion_buffers_init(std::size_t block_capacity = block_size,
                             std::size_t message_capacity = message_memory_size);
