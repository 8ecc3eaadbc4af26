#!/usr/bin/env bash
# The Debian roots' own decisions, without making a root: whether a root is
# reused or made again, and what the Wine version record makes it say.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tools/dev/debian-root.sh
source "$here/../../tools/dev/debian-root.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

expect() {
    local what=$1 row=$2 actual=$3 expected=$4
    if [ "$actual" != "$expected" ]; then
        printf '%s: row %s: got "%s", expected "%s"\n' "$what" "$row" "$actual" "$expected"
        failures=$((failures + 1))
    fi
}

# Reuse only a root whose marker says it was made, and for these packages.
wanted=$(marker_text trixie)
#    row  marker                          folder  expected
rows=("1  none                            no      create"
      "2  none                            yes     rebuild"
      "3  wanted                          yes     reuse"
      "4  sid                             yes     rebuild"
      "5  empty                           yes     rebuild"
      "6  bookworm                        yes     rebuild")
for line in "${rows[@]}"; do
    read -r row marker folder expected <<<"$line"
    root=$work/root$row
    [ "$folder" = no ] || mkdir -p "$root/etc"
    case $marker in
        wanted) echo "$wanted" >"$root/.debian-root-complete" ;;
        sid|bookworm) marker_text "$marker" >"$root/.debian-root-complete" ;;
        empty) : >"$root/.debian-root-complete" ;;
    esac
    expect root_decision "$row ($line)" "$(root_decision "$root" "$wanted")" "$expected"
done
# Another package list for the same release is another root.
expect marker_text "packages" "$(COMMON_PACKAGES="$COMMON_PACKAGES wget" marker_text trixie | grep -c wget)" 1
# The bare root holds what a newcomer's machine has, none of the Wine roots' packages.
expect marker_text "bare" "$(marker_text bookworm | grep '^packages')" "packages git"

# The record: comments and other releases are no version of this one.
record=$work/debian-roots.txt
printf '# trixie wine-9.0\nsid wine-10.1\ntrixie wine-10.0 and a remark\n' >"$record"
#    row  release  record file     expected
rows=("1  trixie   $record         wine-10.0"
      "2  sid      $record         wine-10.1"
      "3  bookworm $record         -"
      "4  trixie   $work/missing   -")
for line in "${rows[@]}"; do
    read -r row release file expected <<<"$line"
    [ "$expected" != - ] || expected=""
    expect recorded_version "$row ($line)" "$(recorded_version "$file" "$release")" "$expected"
done

# One line when the Wine found is not the one proven, none when it is.
#    row  recorded   found      expected (words of the line, or "-" for none)
rows=("1  wine-10.0  wine-10.0  -"
      "2  wine-10.0  wine-10.3  wine-10.3,proven,wine-10.0"
      "3  -          wine-10.0  wine-10.0,records,none")
for line in "${rows[@]}"; do
    read -r row recorded found expected <<<"$line"
    [ "$recorded" != - ] || recorded=""
    note=$(version_note trixie "$recorded" "$found")
    if [ "$expected" = - ]; then
        expect version_note "$row ($line)" "$note" ""
        continue
    fi
    expect version_note "$row ($line) lines" "$(printf '%s\n' "$note" | wc -l)" 1
    for word in ${expected//,/ }; do
        case $note in *"$word"*) ;; *) expect version_note "$row ($line) has $word" "$note" "... $word ..." ;; esac
    done
done

# The committed record names both roots.
for release in trixie sid; do
    version=$(recorded_version "$PROJECT/tools/dev/debian-roots.txt" "$release")
    case $version in wine-*) ;; *) expect debian-roots.txt "$release" "$version" "wine-<version>" ;; esac
done

echo "debian_root_test: $failures failures"
[ "$failures" -eq 0 ]
