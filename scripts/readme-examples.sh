#!/usr/bin/env bash
# Runs every shell example of README.md as written, from the repository root,
# in order and in one shell (later examples use what earlier ones set up, such
# as PATH). A ```gdb block right after a ```sh block is the session that block
# starts: gdb-multiarch runs its commands as a -batch -x script. A block right
# after "<!-- hardware -->" or "<!-- not run: REASON -->" is listed, not run.
# Files the examples leave in the repository root are removed afterwards;
# HOME is a scratch directory. Usage: scripts/readme-examples.sh [FILE.md]
set -euo pipefail
cd "$(dirname "$0")/.."
readme=${1:-README.md}
scratch=$(mktemp -d)
mkdir "$scratch/home"
before=$(ls -A)
cleanup() {
  local entry
  for entry in $(ls -A); do
    grep -qxF -- "$entry" <<<"$before" || rm -rf -- "$entry"
  done
  rm -rf "$scratch"
}
trap cleanup EXIT

awk -v dir="$scratch" -v readme="$readme" '
  function fail(message) { print readme ":" NR ": " message > "/dev/stderr"; failed = 1; exit 1 }
  /^<!-- (hardware|not run: .*) -->$/ { marker = $0; next }
  !open && /^```/ { open = 1; lang = substr($0, 4); start = NR; body = ""; next }
  open && /^```$/ {
    open = 0
    if (lang == "sh" && marker != "") {
      print readme ":" start ": " marker > (dir "/exempt"); last_sh = 0
    } else if (lang == "sh") {
      blocks++; last_sh = blocks
      print "echo \"== " readme ":" start "\" >&2" > (dir "/examples.sh")
      print "README_GDB_SCRIPT=" dir "/session-" blocks ".gdb" > (dir "/examples.sh")
      printf "%s", body > (dir "/examples.sh")
    } else if (lang == "gdb") {
      if (!last_sh) fail("a gdb block needs the sh block that starts its session right before it")
      gsub(/\(gdb\) /, "", body)
      printf "%s", body > (dir "/session-" last_sh ".gdb")
      print readme ":" start ": run as gdb-multiarch -batch -x" > (dir "/gdb")
    } else {
      last_sh = 0
    }
    marker = ""
    next
  }
  open { body = body $0 "\n"; next }
  { marker = "" }
  END { if (!failed && open) fail("unclosed code block") }
' "$readme"

# The interactive debugger runs the session that follows its block as a script.
cat >"$scratch/run.sh" <<'PROLOGUE'
set -euo pipefail
gdb-multiarch() { command gdb-multiarch -batch -x "$README_GDB_SCRIPT" "$@"; }
PROLOGUE
cat "$scratch/examples.sh" >>"$scratch/run.sh"
# Background servers the examples started must have ended by themselves.
echo 'wait' >>"$scratch/run.sh"

if ! HOME="$scratch/home" timeout 1200 bash "$scratch/run.sh" >"$scratch/log" 2>&1; then
  tail -n 60 "$scratch/log"
  [ -n "${README_EXAMPLES_LOG:-}" ] && cp "$scratch/log" "$README_EXAMPLES_LOG"
  echo "readme-examples: an example of $readme failed (the last '== $readme:LINE' above names its block)"
  exit 1
fi
# README_EXAMPLES_LOG=FILE keeps what the examples printed.
[ -n "${README_EXAMPLES_LOG:-}" ] && cp "$scratch/log" "$README_EXAMPLES_LOG"
echo "readme-examples: ran $(grep -c '^echo "== ' "$scratch/examples.sh") blocks of $readme"
[ -f "$scratch/gdb" ] && cat "$scratch/gdb"
[ -f "$scratch/exempt" ] && cat "$scratch/exempt"
exit 0
