#!/usr/bin/env bash
# The tool's bash completion offers commands, each command's options and the
# choices of an option, as a user pressing Tab would get them.
# usage: completion_check.sh COMPLETION_SCRIPT [TOOL]
# With TOOL, the devices offered after -s come from it, on the bus the line
# names (--emulate).
set -euo pipefail
# shellcheck disable=SC1090
source "$1"
fail() { echo "completion_check: $*" >&2; exit 1; }
complete_line() {  # the words of a command line, the last one being typed
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _zorbel
    echo "${COMPREPLY[*]}"
}
[[ $(complete_line zorbel se) == "send" ]] || fail "'zorbel se' does not complete to send"
[[ $(complete_line zorbel w) == "wait watch" ]] || fail "'zorbel w' offers '$(complete_line zorbel w)'"
[[ $(complete_line zorbel recv 1 3 --fo) == "--force" ]] || fail "'recv --fo' does not complete to --force"
[[ $(complete_line zorbel wait 1 --mode b) == "boot" ]] || fail "'--mode b' does not complete to boot"
[[ $(complete_line zorbel --emulate bench 0 --dir) == "--direction" ]] || fail "'bench --dir' does not complete"
if [[ -n ${2:-} ]]; then
  tool=$2
  zorbel() { "$tool" "$@"; }
  offered=$(complete_line zorbel --emulate info -s '')
  [[ $offered == "0 1 ZB0000000002 0000002" ]] || fail "'--emulate info -s' offers '$offered'"
  offered=$(complete_line zorbel --emulate --boot-devices 0 echo -s ZB)
  [[ $offered == "ZB0000000001" ]] || fail "'--emulate --boot-devices 0 echo -s ZB' offers '$offered'"
fi
echo "completion_check: ok"
