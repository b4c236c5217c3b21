#!/bin/sh
# kestrel-mbx imap against Python's imaplib, side by side: about 10,000
# messages of case a's kind (about 2 KiB each) appended to a dovecot on
# 127.0.0.1 started here (TLS with a CA made here), once by kestrel-mbx imap
# (MULTIAPPEND and LITERAL+ where offered) and once by imaplib appending the
# same exported .eml messages one by one, each to an account of its own.
# Prints the two wall-clock times. Needs root (dovecot's accounts belong to
# uid 65534), dovecot, openssl and python3.
#
# Usage: bench/imap.sh [BUILD_DIR]     (default build/release)
set -eu
bench=$(cd "$(dirname "$0")" && pwd)
build=${1:-$bench/../build/release}
build=$(cd "$build" && pwd)
work=$(mktemp -d /tmp/kestrel-imap-bench-XXXXXX)
chmod 755 "$work"
pid_file=$work/base/master.pid
cleanup() {
    [ -f "$pid_file" ] && kill "$(cat "$pid_file")" 2>/dev/null || true
    sleep 1
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

cd "$work"
"$build/bench/generate_folder" --output case_a.txt --size 20M --message-size 2048 --seed 1
env -i TZ=UTC KESTREL_VAX_USERNAME=SMITH "$build/kestrel" case_a.txt . </dev/null >/dev/null
"$build/mbx/kestrel-mbx" eml case_a.MBX eml >/dev/null
count=$(ls eml | wc -l)

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
    -subj /CN=bench-ca 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr -subj /CN=127.0.0.1 2>/dev/null
echo subjectAltName=IP:127.0.0.1 >ext.cnf
openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out srv.pem -days 2 \
    -extfile ext.cnf 2>/dev/null
mkdir home && chown 65534:65534 home
port=$(free_port)
cat >dovecot.conf <<CONF
base_dir = $work/base
state_dir = $work/state
log_path = $work/dovecot.log
listen = 127.0.0.1
protocols = imap
ssl = required
ssl_cert = <$work/srv.pem
ssl_key = <$work/srv.key
default_internal_user = nobody
default_login_user = nobody
mail_location = maildir:~/Maildir
passdb {
  driver = static
  args = password=bench
}
userdb {
  driver = static
  args = uid=65534 gid=65534 home=$work/home/%u
}
service imap-login {
  inet_listener imap {
    port = 0
  }
  inet_listener imaps {
    port = $port
  }
}
CONF
dovecot -c "$work/dovecot.conf" >/dev/null 2>&1 </dev/null
sleep 1

start=$(date +%s.%N)
KESTREL_IMAP_PASSWORD=bench "$build/mbx/kestrel-mbx" imap --cafile ca.pem case_a.MBX \
    "imaps://kestrel@127.0.0.1:$port" </dev/null
end=$(date +%s.%N)
kestrel_seconds=$(echo "$end - $start" | bc)

cat >append.py <<'PY'
import imaplib, os, ssl, sys
port, directory = int(sys.argv[1]), sys.argv[2]
box = imaplib.IMAP4_SSL('127.0.0.1', port, ssl_context=ssl.create_default_context(cafile='ca.pem'))
box.login('imaplib', 'bench')
box.create('case_a')
for name in sorted(os.listdir(directory)):
    with open(os.path.join(directory, name), 'rb') as f:
        status, _ = box.append('case_a', '(\\Seen)', None, f.read())
    if status != 'OK':
        sys.exit('APPEND failed')
box.logout()
PY
start=$(date +%s.%N)
python3 append.py "$port" eml
end=$(date +%s.%N)
python_seconds=$(echo "$end - $start" | bc)

echo "messages: $count ($(du -sk eml | cut -f1) KiB as .eml files)"
echo "kestrel-mbx imap:           ${kestrel_seconds} s"
echo "Python imaplib, one by one: ${python_seconds} s"
