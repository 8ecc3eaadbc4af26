#!/usr/bin/env bash
# Runs a command in a throw-away Debian root (build/roots/RELEASE) made once with debootstrap: trixie's or sid's
# with that release's Wine, or a bare bookworm (minbase and git) copied afresh each time for a fresh clone.
# Usage: tools/dev/debian-root.sh trixie|sid COMMAND [ARG...]   (the project at its own path, the current folder kept)
#        tools/dev/debian-root.sh bookworm COMMAND [ARG...]     (as root: in a fresh clone of the project's HEAD)
set -euo pipefail

ME=debian-root.sh
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
# What the Wine tests call (tests/e2e, tests/ship/wine_test.py, tools/kitlib/wine/), ctest and pytest to run them,
# the report's templates, and the Windows compiler with which the branded build and kit ship make their launchers.
COMMON_PACKAGES="xvfb xdotool x11-apps imagemagick python3 python3-pefile cmake osslsigncode openssl xorriso"
COMMON_PACKAGES+=" python3-pytest python3-jinja2 make g++-mingw-w64-i686-win32"
# kit ship's test reads its report in a browser, through Selenium and its driver.
COMMON_PACKAGES+=" chromium chromium-driver python3-selenium"
# The Wine tests' locales (tools/dev/locales.txt) are generated from it.
COMMON_PACKAGES+=" locales"
# Trixie's Wine runs 32-bit programs with its i386 half; sid's is amd64 only and runs them through WoW64.
declare -A WINE_PACKAGES=([trixie]="wine wine32:i386 wine64" [sid]="wine wine64")
declare -A FOREIGN_ARCH=([trixie]=i386 [sid]="" [bookworm]="")
# The archive's sid index here is older than its Valid-Until.
declare -A APT_OPTIONS=([trixie]="" [sid]='Acquire::Check-Valid-Until "false";')
# A bare machine as a newcomer has it: the first command must install all the
# rest itself. Its root is never run in, only copied (an overlay with a fresh
# upper folder each run), so each run starts from nothing but this.
declare -A BARE_PACKAGES=([bookworm]="git")
# Paths that a Wine run writes, each given a folder of the root's own: a prefix
# made by one Wine is no prefix for another, and a run on the host may be busy
# with the same paths at the same time.
PRIVATE_FOLDERS="build/wine build/wine64 build/wine64cd build/wine-runs"
PRIVATE_FILES="build/wine.lock build/wine64.lock build/wine64cd.lock"
# The host's builds, seen through an overlay: the root runs the programs built
# there, while what its tests write (work folders, ctest's logs, a new branded
# build) stays in the root's upper folder, kept until its next run.
OVERLAID_FOLDERS="build/host build/branded"

PROJECT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)
# The locales the Wine tests run under, each generated in the Wine roots.
LOCALES=$(sed -n 's/^\([^#][^ ]*\) .*/\1/p' "$PROJECT/tools/dev/locales.txt" | paste -sd ' ' -)

fail() { echo "$ME: $*" >&2; exit 1; }

# The text of the marker that says a root is complete: what it was made with.
# A root made for another package list is not the root asked for.
marker_text() {
    local release=$1
    printf 'release %s\nforeign %s\npackages %s\n' "$release" "${FOREIGN_ARCH[$release]}" "$(root_packages "$release")"
    is_bare "$release" || printf 'locales %s\n' "$LOCALES"
}

# The shell commands that generate the locales in a root, listed in
# /etc/locale.gen so that an upgrade of the locales package keeps them.
locale_commands() {
    printf "printf '%%s UTF-8\\\\n' %s >>/etc/locale.gen && locale-gen" "$LOCALES"
}

is_bare() { [ -n "${BARE_PACKAGES[$1]+x}" ]; }

root_packages() {
    local release=$1
    if is_bare "$release"; then
        echo "${BARE_PACKAGES[$release]}"
    else
        echo "${WINE_PACKAGES[$release]} $COMMON_PACKAGES"
    fi
}

# reuse, rebuild or create: what to do with the root folder at $1 whose marker
# should say $2.
root_decision() {
    local root=$1 wanted=$2
    if [ -f "$root/.debian-root-complete" ] && [ "$(cat "$root/.debian-root-complete")" = "$wanted" ]; then
        echo reuse
    elif [ -e "$root" ]; then
        echo rebuild
    else
        echo create
    fi
}

# The Wine version tools/dev/debian-roots.txt records for a release ("" if none).
recorded_version() {
    local record=$1 release=$2
    [ -f "$record" ] || return 0
    awk -v release="$release" '$1 == release { print $2; exit }' "$record"
}

# One line when the root's Wine is not the one the record was proven with.
version_note() {
    local release=$1 recorded=$2 found=$3
    if [ -z "$recorded" ]; then
        echo "$ME: Debian $release's Wine is $found; tools/dev/debian-roots.txt records none for $release"
    elif [ "$recorded" != "$found" ]; then
        echo "$ME: Debian $release's Wine is $found, the Wine tests were proven with $recorded (tools/dev/debian-roots.txt)"
    fi
}

# Refuses to remove a folder that anything is mounted below: a bind of the
# project would take the project with it.
remove_root() {
    local root=$1
    if findmnt -rn -o TARGET | awk -v r="$root" 'index($0, r "/") == 1 || $0 == r' | grep -q .; then
        fail "something is mounted below $root; unmount it before the root can be made again"
    fi
    rm -rf --one-file-system "$root"
}

# Mounts what a run in the root needs, in a mount namespace of its own that
# dies with the run, so nothing stays mounted on the host whatever happens.
# Runs as root only.
mount_root() {
    local root=$1 project=$2 private=$3 tmp=$4 path layer
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"   # dev/pts and dev/shm with it
    # A /tmp of its own first, so that a project below /tmp gets its mount
    # point inside it rather than being hidden by it.
    mount --bind "$tmp" "$root/tmp"
    mkdir -p "$root$project"
    mount --bind "$project" "$root$project"
    for path in $PRIVATE_FOLDERS $PRIVATE_FILES; do
        mount --bind "$private/$path" "$root$project/$path"
    done
    for path in $OVERLAID_FOLDERS; do
        layer=$private/overlay/$path
        mount -t overlay overlay -o "lowerdir=$project/$path,upperdir=$layer/upper,workdir=$layer/work" \
            "$root$project/$path"
    done
}

# The mount points of the private paths, on the host (inside the project) and
# in the root's own folder; the overlays' upper folders emptied of the last run.
make_private_paths() {
    local project=$1 private=$2 path
    for path in $PRIVATE_FOLDERS; do
        mkdir -p "$project/$path" "$private/$path"
    done
    rm -rf --one-file-system "$private/overlay"
    for path in $OVERLAID_FOLDERS; do
        mkdir -p "$project/$path" "$private/overlay/$path/upper" "$private/overlay/$path/work"
    done
    for path in $PRIVATE_FILES; do
        mkdir -p "$(dirname "$project/$path")" "$(dirname "$private/$path")"
        touch "$project/$path" "$private/$path"
    done
}

apt_config() {
    local release=$1
    printf 'APT::Install-Recommends "false";\nAcquire::Languages "none";\n%s\n' "${APT_OPTIONS[$release]}"
}

# Makes the root as root: debootstrap's smallest base, then every package in
# one apt-get run; the marker last. Mounts live in a namespace of their own.
create_as_root() {
    local release=$1 root=$2 log=$3
    local packages
    packages=$(root_packages "$release")
    command -v debootstrap >/dev/null || "$PROJECT/tools/dev/setup.sh" roots >>"$log" 2>&1 \
        || fail "cannot install debootstrap (tools/dev/setup.sh roots; see $log)"
    echo "$ME: making the Debian $release root in $root (once, about two minutes; log: $log)" >&2
    local include=()
    ! is_bare "$release" || include=(--include="${packages// /,}")
    supervise unshare --mount --kill-child --propagation private -- \
        debootstrap --variant=minbase --arch=amd64 "${include[@]}" "$release" "$root" "$MIRROR" >>"$log" 2>&1 \
        || fail "debootstrap could not make the $release root from $MIRROR: $(tail_line "$log")"
    # A bare machine keeps apt's own settings.
    is_bare "$release" && return 0
    apt_config "$release" >"$root/etc/apt/apt.conf.d/90debian-root"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    local setup="set -e
        ${FOREIGN_ARCH[$release]:+dpkg --add-architecture ${FOREIGN_ARCH[$release]}}
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q $packages
        apt-get clean
        $(locale_commands)"
    supervise unshare --mount --pid --kill-child --propagation private -- bash -c '
        set -e; root=$1
        mount -t proc proc "$root/proc"; mount --rbind /sys "$root/sys"; mount --rbind /dev "$root/dev"
        chroot "$root" /bin/sh -c "$2"' sh "$root" "$setup" >>"$log" 2>&1 \
        || fail "apt-get could not install the Wine tests' packages in the $release root: $(tail_line "$log")"
    record_wine_version "$root" run_in_chroot
}

# As another user: mmdebstrap makes the root in a user namespace in one go.
create_as_user() {
    local release=$1 root=$2 log=$3
    local packages
    packages=$(root_packages "$release")
    command -v mmdebstrap >/dev/null || fail "mmdebstrap is not installed: as root, apt-get install mmdebstrap uidmap"
    echo "$ME: making the Debian $release root in $root with mmdebstrap (once; log: $log)" >&2
    local options=(--mode=unshare --variant=minbase --include="${packages// /,}"
                   --aptopt="$(apt_config "$release")" --customize-hook="chroot \"\$1\" sh -c \"$(locale_commands)\"")
    [ -z "${FOREIGN_ARCH[$release]}" ] || options+=(--architectures="amd64,${FOREIGN_ARCH[$release]}")
    supervise mmdebstrap "${options[@]}" "$release" "$root" "$MIRROR" >>"$log" 2>&1 \
        || fail "mmdebstrap could not make the $release root from $MIRROR: $(tail_line "$log")"
    record_wine_version "$root" run_in_bwrap
}

tail_line() { tail -n 1 "$1" 2>/dev/null || true; }

# What `wine --version` says in the root, kept beside the marker so that a run
# need not start Wine to compare it with the record.
record_wine_version() {
    local root=$1 runner=$2 version
    version=$("$runner" "$root" / wine --version 2>/dev/null | tail -n 1 | cut -d' ' -f1) || version=""
    [ -n "$version" ] || fail "the root in $root has no working wine --version"
    echo "$version" >"$root/.debian-root-wine"
}

# Runs a command in the root with nothing of the host but /proc, /sys, /dev.
run_in_chroot() {
    local root=$1 folder=$2; shift 2
    unshare --mount --pid --kill-child --propagation private -- bash -c '
        set -e; root=$1 folder=$2; shift 2
        mount -t proc proc "$root/proc"; mount --rbind /sys "$root/sys"; mount --rbind /dev "$root/dev"
        chroot "$root" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$folder" "$@"' sh "$root" "$folder" "$@"
}

run_in_bwrap() {
    local root=$1 folder=$2; shift 2
    bwrap --bind "$root" / --proc /proc --dev /dev --tmpfs /tmp --unshare-pid --die-with-parent \
        --chdir "$folder" "$@"
}

ensure_root() {
    local release=$1 root=$2 log=$3 wanted
    wanted=$(marker_text "$release")
    mkdir -p "$(dirname "$root")"
    # One run at a time makes a root; the others wait for it and reuse it.
    exec 9>"$root.lock"
    flock 9
    case $(root_decision "$root" "$wanted") in
        reuse) exec 9>&-; return ;;
        rebuild) echo "$ME: $root is incomplete or was made for other packages: making it again" >&2
                 remove_root "$root" ;;
    esac
    : >"$log"
    if [ "$(id -u)" -eq 0 ]; then
        create_as_root "$release" "$root" "$log"
    else
        create_as_user "$release" "$root" "$log"
    fi
    echo "$wanted" >"$root/.debian-root-complete"
    exec 9>&-
}

main() {
    [ $# -ge 2 ] || { sed -n '2,3s/^# //p' "$0" >&2; exit 2; }
    local release=$1; shift
    [ -n "${WINE_PACKAGES[$release]+x}" ] || is_bare "$release" || fail "no root for '$release': trixie, sid or bookworm"
    # apt-get in the copy installs as root, and the copy is an overlay.
    ! is_bare "$release" || [ "$(id -u)" -eq 0 ] || fail "the bare $release root needs root (chroot, an overlay, apt-get)"
    local project folder roots root private log start
    project=$PROJECT
    folder=$(pwd -P)
    case $folder/ in "$project"/*) ;; *) fail "run it from inside the project ($project), not $folder" ;; esac
    roots=$project/build/roots
    root=$roots/$release
    private=$roots/$release-private
    log=$roots/$release.log

    trap 'stop_child; exit 130' INT
    trap 'stop_child; exit 143' TERM
    # One run at a time in a root, and no remaking of it under a run: a run
    # also empties the overlays of the last one.
    mkdir -p "$roots"
    exec 8>"$private.lock"
    flock -n 8 || { echo "$ME: waiting for another run in the $release root" >&2; flock 8; }
    start=$SECONDS
    ensure_root "$release" "$root" "$log"
    [ $((SECONDS - start)) -lt 5 ] || echo "$ME: the $release root took $((SECONDS - start)) s to make" >&2
    if is_bare "$release"; then
        run_bare "$root" "$private" "$@"
        return
    fi
    local note
    note=$(version_note "$release" "$(recorded_version "$project/tools/dev/debian-roots.txt" "$release")" \
                        "$(cat "$root/.debian-root-wine" 2>/dev/null || echo unknown)")
    # DEBIAN_ROOT_QUIET=1: a caller that has said it once already.
    [ -z "$note" ] || [ "${DEBIAN_ROOT_QUIET:-}" = 1 ] || echo "$note" >&2

    make_private_paths "$project" "$private"
    RUN_TMP=$(mktemp -d "$private/tmp.XXXXXX")
    local tmp=$RUN_TMP
    chmod 1777 "$tmp"
    # Whatever the runs left in the root's /tmp (X sockets, Wine's server
    # folders) goes with it; its mounts went with their namespace already.
    trap 'rm -rf --one-file-system "$RUN_TMP"' EXIT

    # The root's programs, and a display of the root's own (wine.py starts
    # Xvfb). Ctrl-C reaches the command itself: a command started in the
    # background, as below, would ignore it otherwise.
    local env=(env --default-signal=INT,QUIT -u DISPLAY -u WAYLAND_DISPLAY -u XAUTHORITY -u TMPDIR
               PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
    local runner
    # DEBIAN_ROOT_BWRAP=1: the user namespace way even as root, to try it.
    if [ "$(id -u)" -eq 0 ] && [ "${DEBIAN_ROOT_BWRAP:-}" != 1 ]; then
        # The command is not the namespace's init, which would ignore Ctrl-C;
        # when the init (this inner shell) ends, every process left in the
        # namespace ends with it, and with them the namespace's mounts.
        runner=(unshare --mount --pid --kill-child --propagation private -- bash -c "
            set -e
            $(declare -p PRIVATE_FOLDERS PRIVATE_FILES OVERLAID_FOLDERS); $(declare -f mount_root)
            mount_root \"\$@\"
            shift 4
            chroot \"\$@\"" sh "$root" "$project" "$private" "$tmp" \
            "$root" /bin/sh -c 'cd "$0" && exec "$@"' "$folder" "${env[@]}" "$@")
    else
        local binds=(--bind "$root" / --proc /proc --dev /dev --ro-bind /sys /sys --bind "$tmp" /tmp
                     --bind "$project" "$project")
        # A home the user can write in: Wine keeps its caches there.
        [ -d "$root$HOME" ] || binds+=(--setenv HOME /tmp)
        local path
        for path in $PRIVATE_FOLDERS $PRIVATE_FILES; do
            binds+=(--bind "$private/$path" "$project/$path")
        done
        # No overlay in a user namespace here: the host's builds are written
        # in place, so a run on the host must not be going on at the same time.
        runner=(bwrap "${binds[@]}" --unshare-pid --die-with-parent --chdir "$folder" "${env[@]}" "$@")
    fi
    local status=0
    supervise "${runner[@]}" || status=$?
    [ "$status" -eq 0 ] || [ "$(id -u)" -ne 0 ] || [ -n "${DEBIAN_ROOT_BWRAP:-}" ] ||
        echo "$ME: what the run wrote in build/host (ctest's logs among it) is in $private/overlay/build/host/upper" >&2
    return $status
}

# Runs the command in a fresh copy of the bare root (an overlay on it with an
# empty upper folder, kept until the next run), from a fresh clone of the
# project's HEAD, /root/launcher: what is committed, as a newcomer gets it.
# The network is the host's; downloaded packages are kept for the next run
# (apt checks them against the archive's index as it would its own).
run_bare() {
    local root=$1 private=$2; shift 2
    rm -rf --one-file-system "$private"
    mkdir -p "$private/upper" "$private/work" "$private/merged" "$private/tmp" "$root-apt-archives"
    chmod 1777 "$private/tmp"
    local refs=(HEAD) branch
    branch=$(git -C "$PROJECT" symbolic-ref -q HEAD) && refs+=("$branch")
    git -C "$PROJECT" bundle create "$private/tmp/project.bundle" "${refs[@]}" 2>/dev/null \
        || fail "git could not bundle the project's HEAD"
    local env=(env -i HOME=/root TERM="${TERM:-dumb}" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
    local status=0
    supervise unshare --mount --pid --kill-child --propagation private -- bash -c '
        set -e; root=$1 private=$2; shift 2
        merged=$private/merged
        mount -t overlay overlay -o "lowerdir=$root,upperdir=$private/upper,workdir=$private/work" "$merged"
        mount -t proc proc "$merged/proc"; mount --rbind /sys "$merged/sys"; mount --rbind /dev "$merged/dev"
        mount --bind "$private/tmp" "$merged/tmp"
        mount --bind "$root-apt-archives" "$merged/var/cache/apt/archives"
        cp /etc/resolv.conf "$merged/etc/resolv.conf"
        # Not run by exec: this shell stays the namespace init, reaping orphans.
        status=0; chroot "$merged" "$@" || status=$?; exit $status' sh "$root" "$private" \
        "${env[@]}" /bin/sh -c 'git clone -q -c advice.detachedHead=false /tmp/project.bundle /root/launcher &&
                                cd /root/launcher && exec "$@"' sh "$@" || status=$?
    [ "$status" -eq 0 ] || echo "$ME: what the run left is in $private/upper (the clone: root/launcher)" >&2
    return $status
}

# Runs a command in the background and waits for it, so that Ctrl-C or a
# TERM sent to this script (a CI time-out) ends it at once instead of after it.
CHILD=""
supervise() {
    "$@" <&0 &
    CHILD=$!
    local status=0
    wait "$CHILD" || status=$?
    CHILD=""
    return $status
}

# unshare ignores INT and TERM while its child runs, and bwrap's child is
# the namespace's init: only a KILL ends either at once, and with them every
# process of their namespace (--kill-child, --die-with-parent).
stop_child() {
    [ -n "$CHILD" ] || return 0
    kill -KILL "$CHILD" 2>/dev/null || true
    wait "$CHILD" 2>/dev/null || true
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
