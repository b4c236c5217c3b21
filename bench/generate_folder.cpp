// Writes a large, realistic VAX MAIL folder extract for the benchmark: one
// form-feed line, then the "From:" line (sender, padding, the VAX sending
// date), "To:", "CC:", "Subj:", an empty line and the body, per message.
//
// The output depends only on the options: the random numbers come from a
// fixed generator and fixed integer arithmetic (no standard-library
// distributions, whose results differ between library versions), so the
// same options give the same bytes with every compiler.
//
//   generate_folder --output PATH [--size BYTES] [--message-size BYTES]
//                   [--line-min N] [--line-max N] [--own-share PERCENT]
//                   [--seed N]
//
// Sizes accept a K, M or G suffix (powers of 1024). The folder is at least
// --size bytes: messages are added until it is reached. Each message is
// about --message-size bytes (between half and one and a half times it, and
// never shorter than its head and one body line); a message size of at
// least --size gives a single message. Body lines are --line-min to
// --line-max characters long. PERCENT of the messages are from the user
// SMITH, the others from senders whose names never contain SMITH.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr const char* own_sender = "SMITH";

struct Options {
    const char* output = nullptr;
    std::uint64_t size = 256ULL << 20;
    std::uint64_t message_size = 2048;
    std::uint64_t line_min = 20;
    std::uint64_t line_max = 120;
    std::uint64_t own_percent = 25;
    std::uint64_t seed = 1;
};

// splitmix64: small, fast, and the same sequence everywhere.
struct Random {
    std::uint64_t state;

    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // A number from `low` to `high`, both included.
    std::uint64_t between(std::uint64_t low, std::uint64_t high)
    {
        return low + next() % (high - low + 1);
    }

    template <std::size_t N> const char* pick(const char* const (&items)[N])
    {
        return items[next() % N];
    }
};

constexpr const char* nodes[] = {"ORION",  "VEGA",   "ALTAIR",  "DENEB",  "RIGEL", "CASTOR",
                                 "POLLUX", "SIRIUS", "ANTARES", "CYGNUS", "LYRA",  "HYDRA"};

// None of these contains "SMITH", so only the user's own messages match.
constexpr const char* users[] = {
    "WALSH", "PEREZ",  "KIM",    "OKAFOR", "JANSSEN",  "MORI",       "LINDQVIST", "BROWN", "GARCIA",
    "NOVAK", "HUGHES", "DUBOIS", "SYSTEM", "OPERATOR", "MCALLISTER", "TANAKA",    "ROSSI", "WEBER"};

constexpr const char* personal_names[] = {
    "\"Dana Walsh\"",     "\"Marco Perez\"", "\"Sun-Hee Kim\"",  "\"Ada Okafor\"",
    "\"Pieter Janssen\"", "\"Operator\"",    "\"Eva Lindqvist\""};

constexpr const char* months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                  "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
constexpr int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

constexpr const char* words[] = {
    "the",        "tape",     "drive",   "backup",   "disk",    "quota",      "blocks",
    "account",    "system",   "manager", "node",     "cluster", "queue",      "batch",
    "job",        "print",    "report",  "project",  "meeting", "tomorrow",   "please",
    "thanks",     "for",      "and",     "with",     "from",    "about",      "directory",
    "file",       "version",  "image",   "restore",  "DUA1:",   "[PROJECTS]", "VMS",
    "DECnet",     "terminal", "console", "operator", "will",    "is",         "are",
    "on",         "in",       "of",      "to",       "we",      "you",        "figures",
    "quarter",    "group",    "usage",   "password", "expires", "logical",    "name",
    "SYS$SYSTEM", "editor",   "EDT",     "TPU",      "compile", "link",       "run",
    "errors",     "warning",  "after",   "before",   "night",   "shift",      "schedule",
    "budget",     "review"};

constexpr const char* subjects[] = {
    "Tape drive on ORION",     "Quarterly report",    "Disk quota",
    "Meeting on Thursday",     "Re: Backup schedule", "Batch queue stopped",
    "New account request",     "Printer on VEGA",     "Re: Re: Budget review",
    "System shutdown tonight", "DECnet link down",    "Lunch?"};

class Writer {
  public:
    explicit Writer(std::FILE* file) : file_(file) { buffer_.reserve(block); }

    void put(std::string_view text)
    {
        buffer_.append(text);
        written_ += text.size();
        if (buffer_.size() >= block)
            flush();
    }

    bool flush()
    {
        bool ok = std::fwrite(buffer_.data(), 1, buffer_.size(), file_) == buffer_.size();
        buffer_.clear();
        return ok && !std::ferror(file_);
    }

    std::uint64_t written() const { return written_; }

  private:
    static constexpr std::size_t block = 1 << 20;
    std::FILE* file_;
    std::string buffer_;
    std::uint64_t written_ = 0;
};

// A VAX sending date, 23 characters: a one-digit day has a leading space.
std::string vax_date(Random& random)
{
    // One draw per statement: the order of function arguments is unspecified.
    int month = static_cast<int>(random.next() % 12);
    int day = static_cast<int>(random.between(1, static_cast<std::uint64_t>(month_days[month])));
    int year = static_cast<int>(random.between(1985, 1999));
    int hours = static_cast<int>(random.between(0, 23));
    int minutes = static_cast<int>(random.between(0, 59));
    int seconds = static_cast<int>(random.between(0, 59));
    int hundredths = static_cast<int>(random.between(0, 99));
    char text[32];
    std::snprintf(text, sizeof text, "%2d-%s-%04d %02d:%02d:%02d.%02d", day, months[month], year,
                  hours, minutes, seconds, hundredths);
    return text;
}

void append_address(std::string& line, Random& random, const char* user)
{
    line += random.pick(nodes);
    line += "::";
    line += user;
}

// "NODE::USER", padded to the date column, sometimes a personal name, and
// the date; there is always at least one space in front of the date field.
std::string from_line(Random& random, bool own)
{
    std::string line = "From:\t";
    append_address(line, random, own ? own_sender : random.pick(users));
    std::size_t column = 6 + 19;
    line.append(line.size() < column ? column - line.size() : 1, ' ');
    if (random.next() % 4 == 0) {
        line += random.pick(personal_names);
        line += ' ';
    }
    line += vax_date(random);
    line += '\n';
    return line;
}

// A body line of exactly `length` characters, made of words.
void body_line(Random& random, std::size_t length, std::string& line)
{
    line.clear();
    if (random.next() % 8 == 0)
        line = "> ";
    while (line.size() < length) {
        line += random.pick(words);
        line += random.next() % 12 == 0 ? ". " : " ";
    }
    line.resize(length);
    if (line.back() == ' ')
        line.back() = '.';
    line += '\n';
}

void write_message(Writer& out, Random& random, const Options& options, std::uint64_t target)
{
    std::uint64_t start = out.written();
    bool own = random.next() % 100 < options.own_percent;
    out.put("\f\n");
    out.put(from_line(random, own));
    std::string line = "To:\t";
    append_address(line, random, random.pick(users));
    if (random.next() % 3 == 0) {
        line += ',';
        append_address(line, random, random.pick(users));
    }
    line += '\n';
    out.put(line);
    line = "CC:\t";
    if (random.next() % 3 == 0)
        line += random.pick(users);
    line += '\n';
    out.put(line);
    out.put("Subj:\t");
    out.put(random.pick(subjects));
    out.put("\n");
    out.put("\n");
    bool first = true;
    for (;;) {
        std::uint64_t used = out.written() - start;
        std::uint64_t left = used < target ? target - used : 0;
        if (!first && left <= options.line_min)
            break;
        std::uint64_t length = random.between(options.line_min, options.line_max);
        if (length + 1 > left)
            length = left > options.line_min ? left - 1 : options.line_min;
        body_line(random, static_cast<std::size_t>(length), line);
        out.put(line);
        first = false;
    }
}

bool parse_size(const char* text, std::uint64_t& value)
{
    char* end = nullptr;
    unsigned long long number = std::strtoull(text, &end, 10);
    if (end == text)
        return false;
    std::string_view suffix(end);
    int shift = suffix.empty()  ? 0
                : suffix == "K" ? 10
                : suffix == "M" ? 20
                : suffix == "G" ? 30
                                : -1;
    if (shift < 0)
        return false;
    value = static_cast<std::uint64_t>(number) << shift;
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: generate_folder --output PATH [--size BYTES] "
                         "[--message-size BYTES] [--line-min N] [--line-max N] "
                         "[--own-share PERCENT] [--seed N]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    struct Numeric {
        const char* name;
        std::uint64_t* value;
    };
    const Numeric numeric[] = {{"--size", &options.size},
                               {"--message-size", &options.message_size},
                               {"--line-min", &options.line_min},
                               {"--line-max", &options.line_max},
                               {"--own-share", &options.own_percent},
                               {"--seed", &options.seed}};
    for (int i = 1; i < argc; ++i) {
        if (i + 1 >= argc)
            return usage();
        const char* value = argv[++i];
        if (std::strcmp(argv[i - 1], "--output") == 0) {
            options.output = value;
            continue;
        }
        bool known = false;
        for (const Numeric& option : numeric) {
            if (std::strcmp(argv[i - 1], option.name) == 0) {
                if (!parse_size(value, *option.value))
                    return usage();
                known = true;
            }
        }
        if (!known)
            return usage();
    }
    if (options.output == nullptr || options.line_min == 0 || options.line_max < options.line_min ||
        options.own_percent > 100 || options.message_size == 0)
        return usage();

    std::FILE* file = std::fopen(options.output, "wb");
    if (file == nullptr) {
        std::perror(options.output);
        return 1;
    }
    Writer out(file);
    Random random{options.seed};
    if (options.message_size >= options.size) {
        write_message(out, random, options, options.size);
    } else {
        while (out.written() < options.size)
            write_message(out, random, options,
                          random.between(options.message_size / 2, options.message_size * 3 / 2));
    }
    if (!out.flush() || std::fclose(file) != 0) {
        std::perror(options.output);
        return 1;
    }
    return 0;
}
