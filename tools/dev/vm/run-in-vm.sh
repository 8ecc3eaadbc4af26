#!/usr/bin/env bash
# Runs a command inside a throw-away x86-64 VM (qemu, software emulation)
# whose kernel runs 32-bit programs, for hosts whose kernel does not. The
# guest sees this machine's own root read-only (with a tmpfs over it for its
# writes) and the project read-write at the same path, so it has exactly the
# packages installed here, and build trees work unchanged on both sides.
# Prints the command's output and exits with its exit code (125: the VM failed).
# Usage: tools/dev/vm/run-in-vm.sh [--scratch FOLDER]... COMMAND [ARGUMENT...]
# The command runs in the current folder, which must be inside the project.
# --scratch puts a project folder (relative to the project) in the guest's
# memory, empty at start and gone at the end: far faster than the shared
# folder for bulk writes such as a Wine prefix (1.3 GB), which over the
# share takes longer than five minutes to create.
# VM_MEMORY (MiB, default 6144) and VM_CPUS (default: all) size the guest.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../../.." && pwd)
vm=$project/build/vm
run=$vm/run

scratch=()
while [ "${1:-}" = --scratch ]; do
    [ $# -ge 2 ] || { echo "run-in-vm: --scratch needs a folder" >&2; exit 2; }
    case $2 in /*|..|../*|*/..|*/../*|"") echo "run-in-vm: --scratch takes a folder inside the project, relative to it: $2" >&2; exit 2 ;; esac
    scratch+=("$project/$2")
    shift 2
done
[ $# -gt 0 ] || { echo "usage: $0 [--scratch FOLDER]... COMMAND [ARGUMENT...]" >&2; exit 2; }
case $project in *[[:space:]]*)
    echo "run-in-vm: the project path must not contain blanks (it goes on the kernel command line): $project" >&2
    exit 2 ;;
esac
case $PWD/ in "$project"/*) ;; *)
    echo "run-in-vm: run it from inside the project ($project); only that is shared read-write" >&2
    exit 2 ;;
esac

# 9p, the virtio PCI transport and overlayfs are modules in Debian's kernel.
MODULES="virtio_pci 9pnet_virtio 9p overlay"

# The kernel package that linux-image-amd64 currently points at, unpacked.
prepare_kernel() {
    [ -f "$vm/kernel/vmlinuz" ] && return
    local package
    package=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
    [ -n "$package" ] || { echo "run-in-vm: apt-cache knows no linux-image-amd64" >&2; exit 125; }
    rm -rf "$vm/kernel" "$vm/download"
    mkdir -p "$vm/download" "$vm/kernel/modules"
    (cd "$vm/download" && apt-get download "$package" >/dev/null 2>&1) \
        || { echo "run-in-vm: apt-get download $package failed" >&2; exit 125; }
    dpkg-deb -x "$vm/download"/*.deb "$vm/download/root"
    local tree=("$vm"/download/root/lib/modules/*)
    cp "$vm"/download/root/boot/vmlinuz-* "$vm/kernel/vmlinuz.part"
    # Each module after those it needs, as insmod wants them.
    local order=() module
    add_module() {
        local name=$1 file dep
        for dep in "${order[@]}"; do [ "$dep" != "$name" ] || return 0; done
        file=$(find "${tree[0]}/kernel" -name "$name.ko*" | head -n 1)
        [ -n "$file" ] || { echo "run-in-vm: $package has no module $name" >&2; exit 125; }
        case $file in
            *.xz) xz -dc "$file" >"$vm/kernel/modules/$name.ko" ;;
            *.zst) zstd -qdc "$file" >"$vm/kernel/modules/$name.ko" ;;
            *) cp "$file" "$vm/kernel/modules/$name.ko" ;;
        esac
        for dep in $(grep -ao 'depends=[a-z0-9_,-]*' "$vm/kernel/modules/$name.ko" | head -n 1 | cut -d= -f2 | tr , ' '); do
            add_module "$dep"
        done
        order+=("$name")
    }
    for module in $MODULES; do add_module "$module"; done
    printf '%s\n' "${order[@]}" >"$vm/kernel/modules/order"
    rm -rf "$vm/download"
    mv "$vm/kernel/vmlinuz.part" "$vm/kernel/vmlinuz"
}

# The initramfs: static busybox, the modules, the init script. Rebuilt when
# the init script changes.
prepare_initramfs() {
    [ "$vm/initramfs.img" -nt "$here/init" ] && [ "$vm/initramfs.img" -nt "$vm/kernel/vmlinuz" ] && return
    local tree=$vm/initramfs
    rm -rf "$tree"
    mkdir -p "$tree"/{bin,dev,proc,sys}
    cp /bin/busybox "$tree/bin/busybox"
    cp -r "$vm/kernel/modules" "$tree/modules"
    cp "$here/init" "$tree/init"
    (cd "$tree" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$vm/initramfs.part"
    mv "$vm/initramfs.part" "$vm/initramfs.img"
    rm -rf "$tree"
}

# One VM at a time per project: they would share build/vm/run.
mkdir -p "$vm"
exec 9>"$vm/lock"
flock -n 9 || { echo "run-in-vm: another VM of this project is running ($vm/lock)" >&2; exit 125; }
prepare_kernel
prepare_initramfs

# The command, with this shell's environment less what belongs to this
# machine's display and session.
rm -rf "$run"
mkdir -p "$run"
{
    echo "set +e"
    export -p | grep -Ev '^declare -x (DISPLAY|WAYLAND_DISPLAY|XAUTHORITY|SSH_[A-Z_]*|TMUX[A-Z_]*|DBUS_SESSION_BUS_ADDRESS|XDG_RUNTIME_DIR|OLDPWD|PWD|SHLVL|_)='
    for folder in "${scratch[@]}"; do
        printf 'mkdir -p %q && mount -t tmpfs -o mode=0755,size=75%% scratch %q || exit 125\n' "$folder" "$folder"
    done
    printf 'cd %q || exit 125\n' "$PWD"
    printf '%q ' "$@"
    printf '>%q 2>&1 </dev/null\n' "$run/output.log"
    printf 'echo $? >%q\n' "$run/status"
} >"$run/command.sh"
: >"$run/output.log"

cpus=${VM_CPUS:-$(nproc)}
started=$(date +%s)
# No SMAP: the emulation lets an iretq in user mode (Wine's 64-bit side
# returns from its exception handling with one) read the stack as the
# kernel, which SMAP then kills as an oops.
qemu-system-x86_64 \
    -accel tcg,thread=multi -cpu max,smap=off -smp "$cpus" -m "${VM_MEMORY:-6144}" \
    -nographic -no-reboot -nodefaults -serial "file:$vm/console.log" -monitor none \
    -kernel "$vm/kernel/vmlinuz" -initrd "$vm/initramfs.img" \
    -append "console=ttyS0 panic=-1 quiet vm.project=$project" \
    -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=root,mount_tag=root \
    -fsdev local,id=project,path="$project",security_model=none,multidevs=remap \
    -device virtio-9p-pci,fsdev=project,mount_tag=project \
    </dev/null >"$vm/qemu.log" 2>&1 &
qemu=$!
tail -n +1 -f --pid="$qemu" "$run/output.log" &
tail=$!
# A background job ignores the terminal's Ctrl-C; the VM must not outlive us.
trap 'kill "$qemu" 2>/dev/null; wait "$tail" 2>/dev/null' EXIT
trap 'exit 130' INT TERM
wait "$qemu" || true
wait "$tail" || true
trap - EXIT

if [ ! -s "$run/status" ]; then
    echo "run-in-vm: the VM ended without the command's exit code after $(( $(date +%s) - started )) s;" \
         "its console ($vm/console.log) ends with:" >&2
    tail -n 20 "$vm/console.log" "$vm/qemu.log" >&2
    exit 125
fi
exit "$(cat "$run/status")"
