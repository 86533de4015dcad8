#!/usr/bin/env bash
# Benchmark: skerrow against nginx as a reverse proxy, both in front of the same fake daemon
# (nginx serving fixed replies), and against calling that daemon directly.
#
#   bash bench/run.sh            # whole suite, about 4 minutes
#   BENCH_PROFILE=0 bash bench/run.sh   # without the perf profile of the template path
#
# Settings (environment): SKERROW_BIN (default: build RelWithDebInfo into build-bench),
# BENCH_DURATION seconds per wrk run (5), BENCH_CONNECTIONS wrk connections (16),
# BENCH_CALLS sequential calls per latency figure (200), BENCH_LARGE_CALLS the same for the
# 8 MB submitblock and the 20,000-transaction template (90), BENCH_ROUNDS interleaved rounds (3),
# BENCH_CPU_CALLS calls per round for the CPU per 4,000-transaction template (300),
# BENCH_PROFILE (1 = profile with perf), BENCH_KEEP (set: keep the temporary directory),
# BENCH_METRICS (1 = every skerrow also serves its Prometheus endpoint, "metrics_listen", on a
# port of its own, to measure what the metric hooks cost the request path).
#
# Servers (fake daemon nginx, proxy nginx, every skerrow, the Redis server of the instance with
# "redis") are pinned to core 0, the load generators (wrk, the latency tool) to core 1.
# Everything listens on 127.0.0.1, on ports found free at run time. Raw outputs and the table go to bench/out/.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out="$here/out"
duration=${BENCH_DURATION:-5}
connections=${BENCH_CONNECTIONS:-16}
calls=${BENCH_CALLS:-200}
rounds=${BENCH_ROUNDS:-3}
profile=${BENCH_PROFILE:-1}
with_metrics=${BENCH_METRICS:-0}
server_cpu=0
client_cpu=1
large_calls=${BENCH_LARGE_CALLS:-90}
cpu_calls=${BENCH_CPU_CALLS:-300}
sizes=(0 100 1000 4000)
large=20000  # the template of about 16 MiB, fetched alone only

for tool in nginx wrk taskset cc python3 timeout redis-server pgrep; do
  command -v "$tool" >/dev/null || { echo "bench: $tool not found (apt-get install nginx wrk)" >&2; exit 1; }
done
if [ "$(nproc)" -lt 2 ]; then
  echo "bench: needs two cores (servers on one, load generators on the other)" >&2
  exit 1
fi

if [ -z "${SKERROW_BIN:-}" ]; then
  cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKERROW_TESTS=OFF >/dev/null
  cmake --build "$root/build-bench" --target skerrow -j2 >/dev/null
  SKERROW_BIN="$root/build-bench/skerrow"
fi
[ -x "$SKERROW_BIN" ] || { echo "bench: no skerrow binary at $SKERROW_BIN" >&2; exit 1; }

work=$(mktemp -d /tmp/skerrow-bench.XXXXXX)
chmod 755 "$work"  # nginx workers run as nobody and read the replies from here
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "${BENCH_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -rf "$out"
mkdir -p "$out/raw"

echo "bench: generating replies"
python3 "$here/gen_template.py" "$work/www"
cc -O2 -o "$work/latency" "$here/latency.c"

read -r -a ports < <(python3 - <<'EOF'
import socket
socks = [socket.socket() for _ in range(36)]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in socks))
for s in socks:
    s.close()
EOF
)
# Fake daemon: one port per reply; the submitblock reply on three ports, one for each way in
# (direct, through nginx, through skerrow), so that each one's log tells what its requests
# brought to the daemon. Proxy nginx: one port per upstream reply.
declare -A fake=([small]=${ports[0]} [gbt0]=${ports[1]} [gbt100]=${ports[2]} [gbt1000]=${ports[3]}
                 [gbt4000]=${ports[4]} [aux]=${ports[5]} [gbt$large]=${ports[23]}
                 [submit_direct]=${ports[24]} [submit_nginx]=${ports[25]} [submit_skerrow]=${ports[26]})
declare -A proxy=([small]=${ports[6]} [gbt0]=${ports[7]} [gbt100]=${ports[8]} [gbt1000]=${ports[9]}
                  [gbt4000]=${ports[10]} [gbt$large]=${ports[27]} [submit]=${ports[28]})
declare -A proxy_upstream=([submit]=submit_nginx)
# skerrow: passthrough instances (no aux chain) and template-rewriting ones (one aux chain).
declare -A sk=([pass_small]=${ports[11]} [pass_gbt4000]=${ports[12]} [gbt0]=${ports[13]}
               [gbt100]=${ports[14]} [gbt1000]=${ports[15]} [gbt4000]=${ports[16]}
               [gbt$large]=${ports[29]} [pass_submit]=${ports[30]} [gbt1000_redis]=${ports[33]})
declare -A sk_parent=([pass_submit]=submit_skerrow [gbt1000_redis]=gbt1000)
# The 1,000-transaction template once more, each snapshot also written to a Redis server.
redis_port=${ports[34]}
# Instances of the large rows: their memory and logs are reported apart from the others'.
large_instances=" gbt$large pass_submit "
# Metrics endpoints, used with BENCH_METRICS=1 only.
declare -A sk_metrics=([pass_small]=${ports[17]} [pass_gbt4000]=${ports[18]} [gbt0]=${ports[19]}
                       [gbt100]=${ports[20]} [gbt1000]=${ports[21]} [gbt4000]=${ports[22]}
                       [gbt$large]=${ports[31]} [pass_submit]=${ports[32]} [gbt1000_redis]=${ports[35]})

nginx_common() {  # $1: name
  cat <<EOF
daemon off;
worker_processes 1;
pid $work/$1.pid;
error_log $work/$1.error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  default_type application/json;
  keepalive_timeout 0;
  client_max_body_size 64m;  # the 8 MB submitblock request
  client_body_temp_path $work/$1.body;
  proxy_temp_path $work/$1.proxy;
  fastcgi_temp_path $work/$1.fastcgi;
  uwsgi_temp_path $work/$1.uwsgi;
  scgi_temp_path $work/$1.scgi;
EOF
}

{
  nginx_common fake
  echo "  log_format request_size '\$request_length \$content_length \$status';"
  for name in "${!fake[@]}"; do
    file=$name.json
    [ "$name" = aux ] && file=auxblock.json
    if [[ $name == submit_* ]]; then
      # submitblock: the whole body is read (into memory) before the reply, as a daemon does;
      # the mirror's copy of the request is what makes nginx read it. Each request's size as
      # it arrived is logged.
      cat <<EOF
  server {
    listen 127.0.0.1:${fake[$name]};
    root $work/www;
    client_body_buffer_size 16m;
    access_log $work/daemon_$name.log request_size;
    location / {
      mirror /whole_body;
      mirror_request_body on;
      try_files /submit.json =404;
      error_page 405 =200 \$uri;
    }
    location = /whole_body { internal; return 204; }
  }
EOF
      continue
    fi
    # A POST to a static file is refused with 405; the error page turns it into a plain GET
    # of the same file, so every POST gets the fixed reply with status 200.
    cat <<EOF
  server {
    listen 127.0.0.1:${fake[$name]};
    root $work/www;
    location / { try_files /$file =404; error_page 405 =200 \$uri; }
  }
EOF
  done
  echo "}"
} >"$work/fake.conf"

{
  nginx_common proxy
  for name in "${!proxy[@]}"; do
    # No upstream keepalive: like skerrow, one fresh daemon connection per request. Replies
    # are streamed to the client as they arrive rather than staged in buffers or temp files.
    # The 8 MB submitblock body is streamed to the daemon the same way.
    request_buffering=""
    [ "$name" = submit ] && request_buffering="proxy_request_buffering off; client_body_buffer_size 1m;"
    cat <<EOF
  server {
    listen 127.0.0.1:${proxy[$name]};
    location / {
      proxy_pass http://127.0.0.1:${fake[${proxy_upstream[$name]:-$name}]};
      $request_buffering
      proxy_buffering off;
      proxy_buffer_size 64k;
      proxy_buffers 8 64k;
      proxy_busy_buffers_size 128k;
    }
  }
EOF
  done
  echo "}"
} >"$work/proxy.conf"

wait_port() {  # $1: port; fails after 10 s
  local i
  for i in $(seq 100); do
    if python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $1), 0.2).close()" 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  echo "bench: nothing listening on port $1" >&2
  return 1
}

start_pinned() {  # $1: log file, rest: command; the pid goes to $started
  taskset -c "$server_cpu" "${@:2}" >"$1" 2>&1 &
  started=$!
  pids+=("$started")
}

start_pinned "$work/fake.out" nginx -p "$work" -c "$work/fake.conf" -e "$work/fake.error.log"
start_pinned "$work/proxy.out" nginx -p "$work" -c "$work/proxy.conf" -e "$work/proxy.error.log"
proxy_master=$started
mkdir -p "$work/redis"
start_pinned "$work/redis.out" redis-server --port "$redis_port" --bind 127.0.0.1 --dir "$work/redis" --save "" \
  --appendonly no --daemonize no
wait_port "$redis_port"

declare -A sk_pid
for name in "${!sk[@]}"; do
  parent=${sk_parent[$name]:-${name#pass_}}
  aux=""
  if [[ $name != pass_* ]]; then
    aux=",\"aux_chains\":[{\"chain_id\":\"auxcoin\",\"url\":\"http://127.0.0.1:${fake[aux]}\",\"user\":\"aux\",\"pass\":\"aux\"}]"
  fi
  metrics=""
  [ "$with_metrics" = 1 ] && metrics=",\"metrics_listen\":\"127.0.0.1:${sk_metrics[$name]}\""
  [[ $name == *_redis ]] && metrics+=",\"redis\":{\"url\":\"127.0.0.1:$redis_port\"}"
  cat >"$work/$name.conf" <<EOF
{"listen":"127.0.0.1:${sk[$name]}","parent":{"url":"http://127.0.0.1:${fake[$parent]}","user":"rpc","pass":"secret"}$aux$metrics}
EOF
  start_pinned "$work/skerrow_$name.log" "$SKERROW_BIN" -c "$work/$name.conf"
  sk_pid[$name]=$started
done

for port in "${fake[@]}" "${proxy[@]}" "${sk[@]}"; do wait_port "$port"; done
sleep 0.5
rss_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
for name in "${!sk[@]}"; do
  echo "$name idle_rss_kb=$(rss_kb "${sk_pid[$name]}" VmRSS)" >>"$out/raw/rss.txt"
done

# --- throughput: wrk, a fresh connection per request -------------------------------------
# Rounds interleave the contenders, so a slow spell of the machine hits all of them alike;
# the report takes the median round of each.
run_wrk() {  # $1: label, $2: port, $3: body file, $4: round
  BENCH_BODY="$3" timeout $((duration + 60)) taskset -c "$client_cpu" \
    wrk -t1 -c"$connections" -d"${duration}s" --timeout 10s --latency \
    -H 'Connection: close' -s "$here/post.lua" "http://127.0.0.1:$2/" >"$out/raw/wrk_$1.$4.txt"
}
small_req=$work/www/req_small.json
gbt_req=$work/www/req_gbt.json
submit_req=$work/www/req_submit.json
for round in $(seq "$rounds"); do
  echo "bench: wrk round $round of $rounds"
  run_wrk small_direct "${fake[small]}" "$small_req" "$round"
  run_wrk small_nginx "${proxy[small]}" "$small_req" "$round"
  run_wrk small_skerrow "${sk[pass_small]}" "$small_req" "$round"
  run_wrk gbt4000_direct "${fake[gbt4000]}" "$gbt_req" "$round"
  run_wrk gbt4000_nginx "${proxy[gbt4000]}" "$gbt_req" "$round"
  run_wrk gbt4000_skerrow "${sk[pass_gbt4000]}" "$gbt_req" "$round"
  run_wrk gbt4000_skerrow_aux "${sk[gbt4000]}" "$gbt_req" "$round"
  # A proxy that cuts the request is not stopped here: the daemon's logs tell (report.py).
  run_wrk submit_direct "${fake[submit_direct]}" "$submit_req" "$round" || true
  run_wrk submit_nginx "${proxy[submit]}" "$submit_req" "$round" || true
  run_wrk submit_skerrow "${sk[pass_submit]}" "$submit_req" "$round" || true
done
# The daemon's submitblock logs of the wrk runs, set apart from those of the latency calls:
# when a run ends, wrk drops requests part-sent, and those reach the daemon cut.
daemon_logs() {  # $1: phase
  local name
  sleep 0.5  # requests ended by the last run are logged
  for name in submit_direct submit_nginx submit_skerrow; do
    cp "$work/daemon_$name.log" "$out/raw/daemon_$name.$1.log"
    : >"$work/daemon_$name.log"  # nginx appends, so this starts the file afresh
  done
}
daemon_logs wrk

# --- latency of one template fetched alone ------------------------------------------------
latency() {  # $1: samples file, $2: port, $3: calls, [$4: text the reply must hold]
  LATENCY_SAMPLES=$1 timeout 300 taskset -c "$client_cpu" "$work/latency" "$2" "${body:-$gbt_req}" "$3" \
    ${4:+"$4"} >/dev/null
}
# The large rows may fail (the latency tool stops at the first failed call): the reason goes to
# <samples file>.err for the report, and the run goes on.
latency_or_note() {  # as latency
  local reason
  reason=$(latency "$@" 2>&1) && return 0
  echo "${reason:-latency tool failed}" | head -n 1 >>"${1%.txt}.err"
}
# A few calls first: the first template call also fetches the aux template.
for n in "${sizes[@]}"; do latency "" "${sk[gbt$n]}" 5 fabe6d6d; done
latency "" "${sk[gbt1000_redis]}" 5 fabe6d6d
latency "" "${sk[gbt$large]}" 2 fabe6d6d 2>/dev/null || true  # a failure shows in the rounds
per_round=$(( (calls + rounds - 1) / rounds ))
large_per_round=$(( (large_calls + rounds - 1) / rounds ))
for round in $(seq "$rounds"); do
  echo "bench: latency round $round of $rounds"
  for n in "${sizes[@]}"; do
    latency "$out/raw/lat_gbt${n}_direct.txt" "${fake[gbt$n]}" "$per_round"
    latency "$out/raw/lat_gbt${n}_nginx.txt" "${proxy[gbt$n]}" "$per_round"
    # The commitment's magic proves the reply went through the rewriting path.
    latency "$out/raw/lat_gbt${n}_skerrow.txt" "${sk[gbt$n]}" "$per_round" fabe6d6d
  done
  # Right after the same template without Redis, so both see the machine alike.
  latency "$out/raw/lat_gbt1000_skerrow_redis.txt" "${sk[gbt1000_redis]}" "$per_round" fabe6d6d
  latency_or_note "$out/raw/lat_gbt${large}_direct.txt" "${fake[gbt$large]}" "$large_per_round"
  latency_or_note "$out/raw/lat_gbt${large}_nginx.txt" "${proxy[gbt$large]}" "$large_per_round"
  latency_or_note "$out/raw/lat_gbt${large}_skerrow.txt" "${sk[gbt$large]}" "$large_per_round" fabe6d6d
  body=$submit_req latency_or_note "$out/raw/lat_submit_direct.txt" "${fake[submit_direct]}" "$large_per_round"
  body=$submit_req latency_or_note "$out/raw/lat_submit_nginx.txt" "${proxy[submit]}" "$large_per_round"
  body=$submit_req latency_or_note "$out/raw/lat_submit_skerrow.txt" "${sk[pass_submit]}" "$large_per_round"
done
daemon_logs latency

# --- CPU per 4,000-transaction template ------------------------------------------------------
# CPU time (user + system, all threads, from /proc/<pid>/stat) that the nginx proxy's worker and
# the rewriting skerrow spend on sequential calls, in interleaved rounds. The clock ticks are
# coarse (10 ms), hence many calls per round.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
nginx_worker=$(pgrep -P "$proxy_master" | head -n 1)
for round in $(seq "$rounds"); do
  echo "bench: CPU round $round of $rounds"
  for who in nginx skerrow; do
    if [ "$who" = nginx ]; then pid=$nginx_worker port=${proxy[gbt4000]} mark=""
    else pid=${sk_pid[gbt4000]} port=${sk[gbt4000]} mark=fabe6d6d; fi
    before=$(cpu_ticks "$pid")
    latency "" "$port" "$cpu_calls" $mark
    echo "$who round=$round calls=$cpu_calls ticks=$(( $(cpu_ticks "$pid") - before )) hz=$(getconf CLK_TCK)" \
      >>"$out/raw/cpu_gbt4000.txt"
  done
done

for name in "${!sk[@]}"; do
  echo "$name peak_rss_kb=$(rss_kb "${sk_pid[$name]}" VmHWM) now_rss_kb=$(rss_kb "${sk_pid[$name]}" VmRSS)" \
    >>"$out/raw/rss.txt"
done

# --- profile of the template path -----------------------------------------------------------
if [ "$profile" = 1 ] && command -v perf >/dev/null; then
  echo "bench: profiling the 4,000-transaction template path"
  perf_data=$work/gbt.perf
  timeout 120 perf record -F 4999 --call-graph dwarf,16384 -o "$perf_data" -p "${sk_pid[gbt4000]}" \
    -- sleep 4 >/dev/null 2>&1 &
  perf_pid=$!
  pids+=("$perf_pid")
  sleep 0.5
  timeout 120 taskset -c "$client_cpu" "$work/latency" "${sk[gbt4000]}" "$gbt_req" 100 fabe6d6d \
    >/dev/null
  wait "$perf_pid" || true
  perf report -i "$perf_data" --no-children --sort symbol --stdio -g none --percent-limit 0.7 \
    2>/dev/null | grep -E '^ +[0-9]' >"$out/profile_self.txt" || true
  perf report -i "$perf_data" --children --sort symbol --stdio -g none --percent-limit 3 \
    2>/dev/null | grep -E '^ +[0-9]' >"$out/profile_children.txt" || true
fi

# --- memory with 1,000 idle connections, after the load ------------------------------------
# They send nothing: what each costs is a descriptor and the server's state for it.
echo "bench: holding 1,000 idle connections to one skerrow"
idle=$(timeout 60 taskset -c "$client_cpu" python3 "$here/idle_connections.py" \
  "${sk[pass_small]}" "${sk_pid[pass_small]}" 1000 1) || idle="failed"
echo "pass_small $idle" >"$out/raw/idle_connections.txt"

# Every skerrow log must be free of warnings and errors, or the figures measured failures.
: >"$out/raw/skerrow_problems.txt"
: >"$out/raw/skerrow_problems_large.txt"
for name in "${!sk[@]}"; do
  problems=$out/raw/skerrow_problems.txt
  [[ $large_instances == *" $name "* ]] && problems=$out/raw/skerrow_problems_large.txt
  grep -h -E '^(warning|error)' "$work/skerrow_$name.log" >>"$problems" || true
done
for name in "${!sk[@]}"; do tail -n 20 "$work/skerrow_$name.log" >"$out/raw/skerrow_$name.log"; done
ls -l "$work/www" >"$out/raw/replies.txt"
{
  echo "date=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
  echo "commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "binary=$SKERROW_BIN"
  echo "cpu=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
  echo "nginx=$(nginx -v 2>&1 | sed 's/.*nginx\///')"
  echo "wrk=$(wrk -v 2>&1 | head -1 | awk '{ print $2 }')"
  echo "duration=$duration connections=$connections calls=$calls large_calls=$large_calls rounds=$rounds"
  echo "server_cpu=$server_cpu client_cpu=$client_cpu"
  hex_digits=$(python3 -c 'import json, sys; print(len(json.load(open(sys.argv[1]))["params"][0]))' \
    "$submit_req")
  echo "submit_hex_digits=$hex_digits"
} >"$out/raw/meta.txt"

python3 "$here/report.py" "$out" | tee "$out/results.md"
