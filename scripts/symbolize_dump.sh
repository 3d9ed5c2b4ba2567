#!/usr/bin/env bash
# Names the backtrace of a crash dump: scripts/symbolize_dump.sh DUMP
# The crash handler may not allocate, so a dump holds raw instruction addresses and the crashed
# process's executable mappings ("modules:"). Each address becomes a file offset in its module,
# that offset the module's own address through its program headers (readelf), and addr2line
# (binutils) names the function, file and line. Run it where the same binaries are at the same
# paths as when the process crashed; debug information (-g) gives file and line. The dump records
# each module's build ID ("build-ids:"): a binary at hand with another build ID (or none) is not
# the one that crashed, is said to be so, and its frames keep their raw offsets.
set -euo pipefail
if [ $# -ne 1 ] || [ ! -r "$1" ]; then
    echo "usage: $0 DUMP (a readable .dmp file of kelvane's crash handler)" >&2
    exit 2
fi
for tool in addr2line readelf; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing (Debian package binutils)" >&2; exit 2; }
done
DUMP="$1"

# The dump's sections: "backtrace:" lines "#NN 0xADDR", "modules:" lines of /proc/self/maps.
FRAMES=(); MODULES=(); declare -A CRASHED_ID=(); section=""
while IFS= read -r line; do
    case "$line" in
        [a-z]*:*) section="${line%%:*}"; continue ;;
    esac
    read -r first second third _ _ path <<<"$line" || true
    if [ "$section" = backtrace ] && [[ "$first" == \#[0-9]* ]]; then
        FRAMES+=("$first $second")
    elif [ "$section" = modules ] && [[ "$second" == *x* ]] && [ -n "$path" ]; then
        MODULES+=("$((16#${first%-*})) $((16#${first#*-})) $((16#$third)) $path")
    elif [ "$section" = build-ids ] && [ -n "$second" ]; then
        # The loader may name a module by another path than the mappings (/lib against /usr/lib).
        CRASHED_ID["$second"]="$first"
        CRASHED_ID["$(readlink -f "$second" 2>/dev/null || echo "$second")"]="$first"
    fi
done <"$DUMP"
if [ "${#FRAMES[@]}" -eq 0 ]; then
    echo "$0: no backtrace in $DUMP" >&2
    exit 1
fi

# The module's address of a file offset: through the PT_LOAD segment holding that offset.
module_address() {  # PATH OFFSET
    local type offset vaddr _ size
    while read -r type offset vaddr _ size _; do
        [ "$type" = LOAD ] || continue
        if [ "$2" -ge $((offset)) ] && [ "$2" -lt $((offset + size)) ]; then
            printf '0x%x\n' $(($2 - offset + vaddr))
            return 0
        fi
    done < <(readelf -lW "$1" 2>/dev/null)
    return 1
}

# Whether the binary at PATH is the one that crashed; says so once when it is not.
declare -A CHECKED=()
same_build() {  # PATH
    if [ -z "${CHECKED[$1]+set}" ]; then
        local here wanted="${CRASHED_ID[$1]:-${CRASHED_ID[$(readlink -f "$1" 2>/dev/null || echo "$1")]:-}}"
        here="$(readelf -n "$1" 2>/dev/null | sed -n 's/^ *Build ID: *//p' | head -n 1)"
        CHECKED[$1]=yes
        if [ -z "$wanted" ]; then
            echo "$0: the dump records no build ID for $1; its names may be wrong" >&2
        elif [ "$here" != "$wanted" ]; then
            echo "$0: $1 is not the binary that crashed (build ID ${here:-none}, the dump's $wanted): its frames" \
                "keep their raw offsets; use the matching build" >&2
            CHECKED[$1]=no
        fi
    fi
    [ "${CHECKED[$1]}" = yes ]
}

for frame in "${FRAMES[@]}"; do
    read -r number address <<<"$frame"
    ip=$((address))
    # Frames above the first hold return addresses; the call is the instruction before.
    [ "$number" = "#00" ] || ip=$((ip - 1))
    where="(no module)"
    for module in "${MODULES[@]}"; do
        read -r start end offset path <<<"$module"
        [ "$ip" -ge "$start" ] && [ "$ip" -lt "$end" ] || continue
        file_offset=$((ip - start + offset))
        where="$(basename "$path")+$(printf '0x%x' "$file_offset")"
        if [ -r "$path" ] && same_build "$path" && vaddr="$(module_address "$path" "$file_offset")" && [ -n "$vaddr" ]; then
            where="$(addr2line -f -C -i -p -e "$path" "$vaddr" | sed '2,$s/^/        /') ($where)"
        fi
        break
    done
    printf '%s %s %s\n' "$number" "$address" "$where"
done
