#!/bin/sh
# Writes the tables of the README and of the manual pages anew from
# the program's own tables (exit codes, outcomes, JSON events, the record's
# columns, the emulated widgets' variables), with the flash-docs of a build.
#   tools/update-docs.sh [BUILD-DIRECTORY]   (default: build)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target flash-docs
"$build/flash-docs" update README.md packaging/man/lumora-flash.1 packaging/man/lumora-configurator.1
