#!/usr/bin/env bash
# The bash completion, driven as bash drives it: COMP_WORDS and COMP_CWORD
# set, the function called, COMPREPLY compared. A stand-in update prints the
# list in the program's format (update --list, pinned by the Listing tests)
# and records its arguments: the completion must ask for --list only. Text
# a device chose (a serial number, a port's USB description) that looks like
# an argument is never offered: it would run in the user's shell.
# usage: completion_test.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
scratch=$(mktemp -d /tmp/update-completion-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0

cat >"$scratch/update" <<'LIST'
#!/bin/sh
echo "$@" >>"${0%/*}/calls"
cat <<'OUT'
Serial ports (-T0):
  /dev/ttyS-Dx: no -COM name reaches it
  /dev/ttyS0: -COM1
  /dev/ttyUSB0: -COMttyUSB0 (USB 0403:6001 "FT232R USB UART")
  /dev/ttyUSB9: no -COM name reaches it (USB 0403:6001 "x: -COM$(touch${IFS}pwned)")
    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K0001-if00-port0: holds -F, so as -COM it sets the image file too unless -F comes after it
    /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0: -COM/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0
FTDI converters (-T1):
  /dev/bus/usb/001/002 0403:6001 serial A10K0001: -D"FT232R USB UART" (its serial port ttyUSB0 is away while -T1 runs)
  /dev/bus/usb/001/004 0403:6001 serial A10K0002: -D'Lab "A" (it'\''s) link'
  /dev/bus/usb/001/005 0403:6001: no description, so -D cannot choose it
  /dev/bus/usb/001/007 0403:6001 serial x: -D$(touch${IFS}pwned): no description, so -D cannot choose it
  /dev/bus/usb/001/008 0403:6001 serial x: -D`reboot`: no description, so -D cannot choose it
CP2102 bridges (-T2):
  /dev/bus/usb/001/003 10c4:ea60 serial 0001: -D"CP2102 USB to UART Bridge Controller"
  /dev/bus/usb/001/006 10c4:ea60 serial 0002: -D$'Tab\there \'q\''
OUT
LIST
chmod +x "$scratch/update"
mkdir "$scratch/images"
touch "$scratch/images/a.hex" "$scratch/images/b.hex" "$scratch/images/other.txt"
mkdir "$scratch/images/old"

# shellcheck source=/dev/null
source "$source_dir/packaging/update.bash-completion"

complete_line() {  # words...; the last is the one completed
  COMP_WORDS=("$scratch/update" "$@")
  COMP_CWORD=$#
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  _update
  printf '%s\n' "${COMPREPLY[@]}"
}

expect() {  # what, expected lines, words...
  local what=$1 expected=$2
  shift 2
  local actual
  actual=$(complete_line "$@")
  if [ "$actual" != "$expected" ]; then
    echo "FAILED: $what" >&2
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") >&2
    failures=$((failures + 1))
  fi
}

expect "the rates for what was typed" "-110
-1200
-14400
-19200
-115200
-128000" -1
expect "the options and the fifteen rates beside an image" "-F
-COM
-T0
-T1
-T2
-D
-debug
-110
-300
-600
-1200
-2400
-4800
-9600
-14400
-19200
-38400
-56000
-57600
-115200
-128000
-256000" -Fa.hex -
expect "the transport types" "-T0
-T1
-T2" -T
expect "--list, --help and --version only as the first word" "--list" --l
expect "no --list after another word" "" -Fa.hex --l
expect "-F with file names" "-F$scratch/images/a.hex" "-F$scratch/images/a"
expect "-F with a folder" "-F$scratch/images/old/" "-F$scratch/images/ol"
expect "-COM with the ports the list names" "-COM1
-COMttyUSB0
-COM/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0" -COM
expect "-COM for what was typed" "-COMttyUSB0" -COMtty
expect "-D with the descriptions, quoted" "-D\"FT232R USB UART\"
-D'Lab \"A\" (it'\\''s) link'
-D\"CP2102 USB to UART Bridge Controller\"
-D\$'Tab\\there \\'q\\''" -D
expect "-D for what was typed, quotes or not" "-D\"CP2102 USB to UART Bridge Controller\"" -DCP
expect "-D with its quote typed" "-D\"FT232R USB UART\"" '-D"FT'

# With bash-completion loaded, as in an interactive shell: readline splits a
# word at each colon, and the reply is the rest after the last one.
if [ -f /usr/share/bash-completion/bash_completion ]; then
  # shellcheck source=/dev/null
  source /usr/share/bash-completion/bash_completion
  COMP_WORDS=("$scratch/update" -COM/dev/serial/by-path/pci-0000 : 00)
  COMP_CWORD=3
  COMP_LINE="${COMP_WORDS[0]} -COM/dev/serial/by-path/pci-0000:00"
  COMP_POINT=${#COMP_LINE}
  _update
  if [ "${COMPREPLY[*]}" != "00:14.0-usb-0:2:1.0-port0" ]; then
    echo "FAILED: a by-path name split at its colons: ${COMPREPLY[*]}" >&2
    failures=$((failures + 1))
  fi
fi

# In an interactive bash, as readline inserts the reply: a file name with a
# space or a command substitution in it stays one word and runs nothing.
touch "$scratch/images/my image.hex" "$scratch/images/\$(touch \${IFS}pwned).bin"
if command -v python3 >/dev/null; then
  script=$(realpath "$source_dir/packaging/update.bash-completion")
  inserted=$(cd "$scratch/images" && python3 - "$script" <<'PY'
import os, pty, select, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execvp("bash", ["bash", "--norc", "--noprofile", "-i"])
def read(seconds, until=None):
    out, end = b"", time.time() + seconds
    while time.time() < end and not (until and until in out):
        if select.select([fd], [], [], 0.1)[0]:
            try:
                out += os.read(fd, 4096)
            except OSError:
                break
    return out
read(1)
os.write(fd, b"PS1='$ '; source '" + sys.argv[1].encode() + b"'; echo SOUR''CED\n")
read(20, b"SOURCED\r\n")
for typed in (b"update -Fmy", b"update -F$"):
    os.write(fd, typed + b"\t")
    read(0.5)
    os.write(fd, b"\x01printf '<%s>' \x05; echo EN''DED\n")
    sys.stdout.write(read(20, b"ENDED\r\n").decode(errors="replace").replace("\r", ""))
os.write(fd, b"exit\n")
read(0.5)
PY
)
  if ! grep -q -F '<update><-Fmy image.hex>' <<<"$inserted" || [ -e "$scratch/images/pwned" ]; then
    echo "FAILED: a file name inserted as one word that runs nothing:" >&2
    printf '%s\n' "$inserted" >&2
    failures=$((failures + 1))
  fi
fi

# The list was asked for, and nothing else.
if grep -v -x -- --list "$scratch/calls"; then
  echo "FAILED: the completion ran update with other arguments" >&2
  failures=$((failures + 1))
fi
grep -q -x -- --list "$scratch/calls" || { echo "FAILED: update --list never ran" >&2; failures=$((failures + 1)); }

[ $failures -eq 0 ] || exit 1
echo "completion: all checks passed"
