#include "app/driver.hpp"

#include "app/report.hpp"
#include "app/settings.hpp"
#include "app/standard_streams.hpp"
#include "app/text_input.hpp"
#include "app/usage.hpp"
#include "convert/conversion_state.hpp"
#include "convert/file_io.hpp"
#include "convert/interrupt.hpp"
#include "convert/message_assembly.hpp"
#include "convert/staging.hpp"
#include "convert/vax_date.hpp"

#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t list_line_size = 512;
constexpr std::size_t list_block_size = 64 * 1024;

// No argument, or "/?", "-?" or "--help" as the only one.
bool is_help_request(int argc, char** argv)
{
    return argc <= 1 ||
           (argc == 2 && (std::strcmp(argv[1], "/?") == 0 || std::strcmp(argv[1], "-?") == 0 ||
                          std::strcmp(argv[1], "--help") == 0));
}

bool is_version_request(int argc, char** argv)
{
    return argc == 2 && std::strcmp(argv[1], "--version") == 0;
}

std::int32_t local_year()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
}

// Converts one folder whose "Processing" text has been printed; 0 when its
// mailbox file was created.
int convert_one(const char* folder_path, const char* directory)
{
    if (stage_folder(folder_path, directory))
        return 1;
    int status = convert_folder();
    if (status == 0)
        report("file %s created\n", conversion.mailbox_path.data());
    close_and_clean(status);
    return status == 0 ? 0 : 1;
}

int run_one_folder(int argc, char** argv)
{
    report("\nProcessing %s -> ", argv[1]);
    return convert_one(argv[1], argc == 3 ? argv[2] : nullptr);
}

int run_list(const char* directory)
{
    report("\n");
    if (check_directory(directory))
        return 1;
    static unsigned char block[list_block_size];
    TextInput list;
    text_input_open(list, standard_input_descriptor(), block, sizeof block, true);
    char line[list_line_size];
    long line_count = 0;
    for (;;) {
        std::size_t length = read_list_line(line, sizeof line, list);
        if (length == 0)
            break;
        // A line that does not fit is one folder all the same, never the
        // start of a second: its rest would name an unrelated file.
        bool too_long =
            length == sizeof line - 1 && line[length - 1] != '\n' && !line_ends_after_piece(list);
        if (line[length - 1] == '\n')
            line[length - 1] = '\0';
        decode_list_line(line, sizeof line);
        ++line_count;
        report("Processing %s -> ", line);
        if (too_long) {
            skip_rest_of_line(list);
            report("Cannot open file: name longer than %zu characters\n", sizeof line - 1);
            continue;
        }
        convert_one(line, directory);
    }
    // A list cut short by a read error must not pass for a finished one.
    if (list.failed) {
        report("Error reading the list of folders: %s\n", io_error_text());
        return 1;
    }
    if (line_count == 0) {
        report("No redirection files\n");
        return 1;
    }
    return 0;
}

} // namespace

int check_directory(const char* path)
{
    if (path[0] == '\0') {
        report("Empty directory name\n");
        return 1;
    }
    if (io_path_exists(path))
        return 0;
    report("%s : No such directory\n", path);
    return 1;
}

int run_program(int argc, char** argv)
{
    if (is_help_request(argc, argv)) {
        print_usage();
        return 0;
    }
    if (is_version_request(argc, argv)) {
        print_version();
        return 0;
    }
    if (require_user_name())
        return 1;
    load_settings();
    current_year = local_year();
    bool interactive = standard_input_is_interactive();
    int arguments = argc - 1;
    if (interactive && arguments >= 3) {
        report("\nToo many parameters\n\n");
        report("For help - run the program without parameters\n");
        return 1;
    }
    if (!interactive && arguments >= 2) {
        report("\nToo many parameters with input redirection\n\n");
        report("For help - run the program without parameters\n");
        return 1;
    }
    conversion_buffers_init();
    install_interrupt_handlers();
    return interactive ? run_one_folder(argc, argv) : run_list(argv[1]);
}
