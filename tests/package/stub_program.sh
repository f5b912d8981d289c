#!/bin/sh
# A program with subcommands, helped as CLI11 helps marrowlink, for man_page_test.cmake.
case "$*" in
    "--version") echo "stub 9.9.9" ;;
    "--help") printf 'stub: does things\nUsage: stub [OPTIONS] SUBCOMMAND\n\nOptions:\n  -h,--help     Print help\n\nSubcommands:\n  probe         Contact the adapter\n  store-backup  Back up the store\n\nExit status:\n  0  ok\n' ;;
    "probe --help") printf 'Contact the adapter\nUsage: stub probe [OPTIONS]\n.starts like a request\n  --chip   also a \\ backslash\n\nExit status:\n  0  ok\n' ;;
    "store-backup --help") printf 'Back up the store\nUsage: stub store-backup FILE\n' ;;
    *) echo "stub: unexpected arguments: $*" >&2; exit 2 ;;
esac
