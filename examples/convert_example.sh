#!/bin/sh
# Converts the example folder MAIL.TXT with the given kestrel binary in a
# fresh directory and shows what came out.
# Usage: convert_example.sh KESTREL_BINARY OUTPUT_DIRECTORY [RUNNER...]
# A runner (Wine and its settings, for kestrel.exe) goes in front of the
# binary.
set -eu
kestrel=$1
output=$2
shift 2
examples=$(cd "$(dirname "$0")" && pwd)

rm -rf "$output"
mkdir -p "$output"
cp "$examples/MAIL.TXT" "$output/"
cd "$output"

# The VAX user name is PEREZ; the zone offsets are those of US Eastern time.
env -i TZ=UTC KESTREL_VAX_USERNAME=PEREZ KESTREL_TZ=-0500 KESTREL_DST=-0400 \
    "$@" "$kestrel" MAIL.TXT </dev/null

echo
echo "Mailbox file $output/MAIL.MBX, $(wc -c <MAIL.MBX) bytes:"
# Reads the mailbox byte by byte and lays out its header and records; the
# message texts are shown with their CR LF line ends as plain line ends.
od -A n -t u1 -v MAIL.MBX | awk '
    { for (i = 1; i <= NF; i++) b[n++] = $i }
    function u32(at) { return b[at] + 256 * (b[at+1] + 256 * (b[at+2] + 256 * b[at+3])) }
    END {
        printf "header: magic %c%c%c%c, %d messages (%d), file size %d\n",
            b[0], b[1], b[2], b[3], u32(8), u32(12), u32(16)
        at = 84
        for (m = 1; m <= u32(8); m++) {
            size = u32(at + 12)
            printf "\n--- record %d: record size %d, text size %d ---\n", u32(at + 4), u32(at + 8), size
            for (i = at + 16; i < at + 16 + size; i++)
                if (b[i] != 13) printf "%c", b[i]
            at += 17 + size
        }
    }'
