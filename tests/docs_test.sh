#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the documents promise, tried.
#   docs_test.sh man PAGE...          each page renders without a warning, and
#                                     at 80 columns within them, left-aligned,
#                                     its examples' commands as they are typed
#   docs_test.sh wrapper README TOOL  the README's pipe-size wrapper hands the
#                                     tool a SIGPIPE that ends it (status 141),
#                                     and no other page of the tree has one
#   docs_test.sh first README TOOL    the README's first example, run as
#                                     written from a tree whose release build
#                                     is TOOL, prints what the README shows
#   docs_test.sh links TREE           every relative link of the tree's
#                                     Markdown pages leads to a page, and to a
#                                     heading of it where it names one
# Exit status 77 (skipped) where what it needs is not installed.
set -euo pipefail
mode=$1
shift
case $mode in
man)
    for tool in groff man col perl; do
        command -v "$tool" >/dev/null || { echo "needs $tool"; exit 77; }
    done
    # Rendered in UTF-8, where a hyphen and a minus differ, and measured in
    # characters.
    export LC_ALL=C.UTF-8
    for page in "$@"; do
        warnings=$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null)
        [[ -z $warnings ]] || { echo "$page: $warnings"; exit 1; }
        # As a reader gets it on an 80-column terminal, tabs as spaces.
        text=$(MANWIDTH=80 man -l "$page" 2>&1 | col -bx)
        while IFS= read -r line; do
            if ((${#line} > 80)); then
                printf '%s: a line of %d columns at MANWIDTH=80:\n%s\n' "$page" "${#line}" "$line"
                exit 1
            fi
        done <<<"$text"
        # Left-aligned, not justified: between the header and the footer, two
        # spaces between words only after the end of a sentence, or between a
        # short tag and its paragraph.
        if ! sed '1d;$d' <<<"$text" | perl -ne 'while (/(\S+)( {2,})(?=\S)/g) {
                next if $1 =~ /[.!?][)"\x27\]]*$/ or $+[0] == 14 && $-[2] < 14;
                print; exit 1 }'; then
            echo "$page: words spaced out, as justified text is"
            exit 1
        fi
        if grep -n -m3 $'\u2010$' <<<"$text"; then
            echo "$page: a word is hyphenated at the end of a line"
            exit 1
        fi
        synopsis=$(sed -n '/^SYNOPSIS/,/^[A-Z]/p' <<<"$text")
        if grep -E '\[-[-a-z]*[a-zA-Z]$' <<<"$synopsis"; then
            echo "$page: the synopsis parts an option from its value"
            exit 1
        fi
        # The examples' commands, indented twice under EXAMPLES, copy as they are:
        # each dash a minus sign, not a hyphen (U+2010), and single spaces.
        examples=$(sed -n '/^EXAMPLES/,/^[A-Z]/p' <<<"$text" | grep -E '^ {14,}\S' || true)
        [[ -n $examples ]] || { echo "$page: no example command under EXAMPLES"; exit 1; }
        if grep -n $'\u2010' <<<"$examples"; then
            echo "$page: an example holds a hyphen, not a minus"
            exit 1
        fi
        if grep -E '\S {2,}\S' <<<"$examples"; then
            echo "$page: an example is filled and justified"
            exit 1
        fi
    done
    ;;
wrapper)
    command -v python3 >/dev/null || { echo "needs python3"; exit 77; }
    if (cd "$(dirname "$1")" && grep -rl --include='*.md' --exclude-dir=build \
        "python3 -c 'import fcntl" . | grep -vxF "./$(basename "$1")"); then
        echo "the pipe-size wrapper has another home than $1: link to it instead"
        exit 1
    fi
    recipe=$(grep -m1 "^ *python3 -c 'import" "$1")
    recipe=${recipe% tsflood | consumer}
    status=0
    (eval "$recipe $2") 2>/dev/null | head -c 188 >/dev/null || status=${PIPESTATUS[0]}
    ((status == 141)) || { echo "the wrapper's tsflood ended with status $status, not 141"; exit 1; }
    ;;
links)
    # A heading's anchor: lower case, punctuation but - and _ dropped, spaces
    # as dashes.
    anchors() { sed -n 's/^#\{1,6\} //p' "$1" | tr 'A-Z ' 'a-z-' | tr -cd 'a-z0-9_\n-'; }
    cd "$1"
    broken=0
    while IFS= read -r page; do
        while IFS= read -r link; do
            target=${link%%#*}
            target=${target:-${page##*/}}
            [[ $target == /* ]] || target=$(dirname "$page")/$target
            if [[ ! -e $target ]] ||
                { [[ $link == *#* ]] && ! anchors "$target" | grep -qxF "${link#*#}"; }; then
                echo "$page: a link to $link leads nowhere"
                broken=1
            fi
        done < <(grep -o '](\([^)]*\))' "$page" | sed 's/^](//; s/)$//' | grep -v '^[a-z]*:' || true)
    done < <(find . -name build -prune -o -name '*.md' -print)
    ((broken == 0))
    ;;
first)
    command -v tsreport >/dev/null || { echo "needs tsreport (tstools)"; exit 77; }
    # Under "Using it", the first indented block is the command, the second
    # what it prints.
    blocks=$(awk '/^## / { on = ($0 == "## Using it") } on && /^    / { if (!inside) n++
        inside = 1; print n "\t" substr($0, 5); next } /^[^ ]/ { inside = 0 }' "$1")
    example=$(sed -n 's/^1\t//p' <<<"$blocks")
    printed=$(sed -n 's/^2\t//p' <<<"$blocks")
    [[ -n $example && -n $printed ]] || { echo "$1: no example and output under Using it"; exit 1; }
    tree=$(mktemp -d)
    trap 'rm -rf "$tree"' EXIT
    mkdir -p "$tree/build/release"
    ln -s "$(realpath "$2")" "$tree/build/release/tsflood"
    status=0
    got=$(cd "$tree" && bash -c "$example" 2>&1) || status=$?
    if [[ $got != "$printed" ]] || ((status != 0)); then
        printf '%s\nprinted (exit status %d):\n%s\n' "$example" "$status" "$got"
        exit 1
    fi
    ;;
esac
