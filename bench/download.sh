#!/usr/bin/env bash
# Download throughput and memory of FileDownloader (the downloader inside
# Updater) against curl. A local nginx on 127.0.0.1 serves a 1 GiB and a
# 64 MiB file from tmpfs; both clients fetch them into tmpfs, alternating
# which goes first. Then the 1 GiB file with its SHA-256 in the address,
# which we check as the body streams in, against curl followed by sha256sum.
# Then the same into a folder on disk, where our save ends with a flush to
# disk, against curl followed by sync of the file.
# Usage: bench/download.sh [rounds]   (default 3)
# VELM_BENCH_DISK_DIR: folder on disk for the last part (default: the build folder)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"
build="$(velm_root)/build"

rounds="${1:-3}"
velm_install build bench
(cd "$(velm_root)" && cmake --preset linux && cmake --build --preset linux) >/dev/null
program="$build/bench/velm_download_bench"

shm=$(mktemp -d /dev/shm/velm-download-bench.XXXXXX)
disk=$(mktemp -d "${VELM_BENCH_DISK_DIR:-$build}/velm-download-bench.XXXXXX")
nginx_pid=""
cleanup() {
    [ -z "$nginx_pid" ] || { kill "$nginx_pid" && wait "$nginx_pid"; } 2>/dev/null || true
    rm -rf "$shm" "$disk"
}
trap cleanup EXIT

mkdir -p "$shm/serve" "$shm/out" "$shm/nginx"
chmod 755 "$shm" "$shm/serve"
velm_log "making the files to serve"
head -c 1G /dev/urandom >"$shm/serve/big.bin"
head -c 64M /dev/urandom >"$shm/serve/small.bin"
chmod 644 "$shm/serve/"*.bin
big_sha256=$(sha256sum "$shm/serve/big.bin" | cut -d' ' -f1)

# nginx of our own, in the foreground of a background job, so that we stop
# exactly the one we started.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
conf="$shm/nginx"
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root;"
cat >"$conf/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $conf/nginx.pid;
error_log $conf/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    default_type application/octet-stream;
    client_body_temp_path $conf/body;
    proxy_temp_path $conf/proxy;
    fastcgi_temp_path $conf/fastcgi;
    uwsgi_temp_path $conf/uwsgi;
    scgi_temp_path $conf/scgi;
    server {
        listen 127.0.0.1:$port;
        root $shm/serve;
    }
}
CONF
nginx -e "$conf/error.log" -p "$conf" -c "$conf/nginx.conf" &
nginx_pid=$!
curl -s -f -o /dev/null --retry 20 --retry-connrefused --retry-delay 1 "http://127.0.0.1:$port/small.bin" \
    || { velm_log "nginx did not start"; cat "$conf/error.log" >&2; exit 1; }

# run <name> <file> <target folder> <then>: one download; prints "MiB/s peak-RSS-MiB".
# <then>: no; sync (curl's file synced to disk after); sha256 (our address
# carries the big file's digest, curl's file goes through sha256sum after).
run() {
    local client=$1 file=$2 folder=$3 then=$4 output stats start end
    local url="http://127.0.0.1:$port/$file"
    stats="$shm/time.txt"
    if [ "$client" = ours ]; then
        output="$folder/$file"
        if [ "$then" = sha256 ]; then url="$url#sha256=$big_sha256"; fi
        start=$(date +%s%N)
        /usr/bin/time -v -o "$stats" "$program" "$url" "$folder/" 2>"$shm/ours.log" \
            || { velm_log "our download failed"; cat "$shm/ours.log" >&2; exit 1; }
    else
        output="$folder/curl-$file"
        start=$(date +%s%N)
        /usr/bin/time -v -o "$stats" curl -s -f -o "$output" "$url"
        if [ "$then" = sync ]; then
            sync "$output"
        elif [ "$then" = sha256 ]; then
            [ "$(sha256sum "$output" | cut -d' ' -f1)" = "$big_sha256" ] || { velm_log "curl's $file has another SHA-256"; exit 1; }
        fi
    fi
    end=$(date +%s%N)
    cmp -s "$output" "$shm/serve/$file" || { velm_log "$client saved a different $file"; exit 1; }
    rm -f "$output"
    local size rss
    size=$(stat -c %s "$shm/serve/$file")
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$stats")
    awk -v s="$size" -v ns="$((end - start))" -v r="$rss" 'BEGIN { printf "%.0f %.1f\n", s / 1048576 / (ns / 1e9), r / 1024 }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# series <file> <folder> <then>: rounds alternating; fills the arrays below.
series() {
    local file=$1 folder=$2 then=$3 i a b
    ours_speed=() curl_speed=() ours_rss=() curl_rss=() ratios=()
    for ((i = 1; i <= rounds; ++i)); do
        if ((i % 2)); then
            read -r a ours_r < <(run ours "$file" "$folder" "$then")
            read -r b curl_r < <(run curl "$file" "$folder" "$then")
        else
            read -r b curl_r < <(run curl "$file" "$folder" "$then")
            read -r a ours_r < <(run ours "$file" "$folder" "$then")
        fi
        ours_speed+=("$a") curl_speed+=("$b") ours_rss+=("$ours_r") curl_rss+=("$curl_r")
        ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')")
        printf '  round %d: ours %5s MiB/s, peak RSS %5s MiB | curl %5s MiB/s, peak RSS %5s MiB | ratio %s\n' \
            "$i" "$a" "$ours_r" "$b" "$curl_r" "${ratios[-1]}"
    done
}

echo "nginx 127.0.0.1:$port, files in tmpfs; $rounds rounds each, alternating which client goes first"
echo "1 GiB into tmpfs ($shm/out):"
series big.bin "$shm/out" no
big_ratio=$(median "${ratios[@]}")
big_ours=$(median "${ours_speed[@]}") big_curl=$(median "${curl_speed[@]}")
big_rss=$(median "${ours_rss[@]}") big_curl_rss=$(median "${curl_rss[@]}")
max_rss=$(printf '%s\n' "${ours_rss[@]}" | sort -g | tail -1)

echo "64 MiB into tmpfs:"
series small.bin "$shm/out" no
small_rss=$(median "${ours_rss[@]}")

echo "1 GiB into tmpfs, ours with the SHA-256 in the address, curl followed by sha256sum:"
series big.bin "$shm/out" sha256
sha_ratio=$(median "${ratios[@]}")
sha_ours=$(median "${ours_speed[@]}") sha_curl=$(median "${curl_speed[@]}")

echo "1 GiB on disk ($disk), curl followed by sync of the file:"
series big.bin "$disk" sync
disk_ratio=$(median "${ratios[@]}")
disk_ours=$(median "${ours_speed[@]}") disk_curl=$(median "${curl_speed[@]}")

echo
echo "throughput, 1 GiB into tmpfs: ours $big_ours MiB/s, curl $big_curl MiB/s (medians)"
echo "median ratio ours/curl: $big_ratio (goal: 1.0 or more)"
echo "peak RSS, 1 GiB: ours $big_rss MiB (highest $max_rss), curl $big_curl_rss MiB (medians)"
echo "peak RSS of ours, 64 MiB file: $small_rss MiB; 1 GiB file: $big_rss MiB (goal: under 64 MiB, flat)"
echo "with SHA-256, 1 GiB: ours $sha_ours MiB/s, curl + sha256sum $sha_curl MiB/s, median ratio $sha_ratio (goal: 1.0 or more)"
echo "on disk, 1 GiB: ours $disk_ours MiB/s, curl + sync $disk_curl MiB/s, median ratio $disk_ratio"
