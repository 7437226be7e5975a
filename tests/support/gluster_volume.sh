# A GlusterFS volume for the cluster test and the cluster benchmark, made
# from nothing under one temporary folder and taken down again; sourced by
# scripts/test-cluster and bench/cluster.
#
#   gv_enter_namespace SCRIPT ARGS...   run SCRIPT again in network and
#                                       mount namespaces of its own
#   gv_up DIR [MOUNTS]                  glusterd, a replica-3 volume over
#                                       three bricks in DIR, MOUNTS (3) FUSE
#                                       client mounts: DIR/mnt/1 ...
#   gv_kill_brick N / gv_clean_brick N / gv_restart_bricks /
#   gv_wait_heal SECONDS
#   gv_down                             stop everything by process id,
#                                       unmount whatever is still mounted
#
# Everything runs inside namespaces the script makes itself: a network
# namespace whose only interface is its own loopback (so glusterd, the
# bricks and the registry nodes cannot listen anywhere else), and a mount
# namespace (so the FUSE mounts are seen by nothing outside, and vanish
# with it even if a stop fails). The places glusterd and its bricks write
# to outside their working directory (/var/lib/glusterd, /run/gluster,
# /var/log/glusterfs) are covered, inside the mount namespace only, by
# folders under DIR.
#
# The volume's options are the ones the registry needs (README, "Running on
# several machines"); GV_VOLUME_OPTIONS and GV_MOUNT_OPTIONS replace them,
# for measuring what each one does.

GV_HOST=127.0.0.10          # glusterd and the bricks (127.0.0.1 is refused for bricks)
GV_VOLUME=registry
GV_DEFAULT_VOLUME_OPTIONS="performance.quick-read off performance.stat-prefetch off performance.open-behind off performance.write-behind off performance.flush-behind off performance.readdir-ahead off performance.io-cache off performance.read-ahead off"
GV_DEFAULT_MOUNT_OPTIONS="--entry-timeout=0 --attribute-timeout=0 --negative-timeout=0"
GV_VOLUME_OPTIONS="${GV_VOLUME_OPTIONS-$GV_DEFAULT_VOLUME_OPTIONS}"
GV_MOUNT_OPTIONS="${GV_MOUNT_OPTIONS-$GV_DEFAULT_MOUNT_OPTIONS}"

gv_dir=""
gv_bound=0
gv_glusterd_pid=""
gv_mount_pids=()
gv_mounts=()

gv_say() { printf 'cluster: %s\n' "$*" >&2; }

gv_enter_namespace() {
  if [ -n "${GV_IN_NAMESPACE:-}" ]; then return 0; fi
  command -v unshare >/dev/null || { gv_say "unshare (util-linux) is missing"; exit 1; }
  GV_IN_NAMESPACE=1 exec unshare --net --mount --propagation private --fork -- "$@"
}

gv_cli() {
  gluster --glusterd-sock="$gv_dir/run/cli.socket" --log-file="$gv_dir/log/cli.log" --mode=script "$@"
}

# Prints the process ids that glusterd wrote for the bricks and the
# self-heal daemon.
gv_daemon_pids() {
  local f
  for f in "$gv_dir"/run/vols/"$GV_VOLUME"/*.pid "$gv_dir"/run/shd/"$GV_VOLUME"/*.pid; do
    [ -s "$f" ] && cat "$f"
  done
  return 0
}

gv_brick_pid_file() {  # N (1-based): glusterd names it after the brick's path
  local f
  for f in "$gv_dir"/run/vols/"$GV_VOLUME"/*-bricks-"$1".pid; do printf '%s' "$f"; done
}

gv_up() {
  local n mounts="${2:-3}"
  gv_dir="$1"
  mkdir -p "$gv_dir"/{state,run,log,host/lib,host/run,host/log,bricks/1,bricks/2,bricks/3,mnt}
  ip link set lo up
  # glusterd's compiled-in places, covered inside this mount namespace.
  cp -a /var/lib/glusterd/. "$gv_dir/host/lib/" 2>/dev/null || true
  mkdir -p /run/gluster /var/log/glusterfs
  mount --bind "$gv_dir/host/lib" /var/lib/glusterd
  mount --bind "$gv_dir/host/run" /run/gluster
  mount --bind "$gv_dir/host/log" /var/log/glusterfs
  gv_bound=1
  cat >"$gv_dir/glusterd.vol" <<EOF
volume management
    type mgmt/glusterd
    option working-directory $gv_dir/state
    option run-directory $gv_dir/run
    option glusterd-sockfile $gv_dir/run/cli.socket
    option transport-type socket
    option transport.socket.bind-address $GV_HOST
    option transport.socket.listen-port 24007
    option ping-timeout 0
    option event-threads 1
end-volume
EOF
  glusterd -N -f "$gv_dir/glusterd.vol" -S "$gv_dir/run/glusterd.socket" -p "$gv_dir/run/glusterd.pid" \
    -l "$gv_dir/log/glusterd.log" >"$gv_dir/log/glusterd.out" 2>&1 &
  gv_glusterd_pid=$!
  for n in $(seq 100); do
    gv_cli volume list >/dev/null 2>&1 && break
    kill -0 "$gv_glusterd_pid" 2>/dev/null || { gv_say "glusterd did not start: $(tail -5 "$gv_dir/log/glusterd.log")"; return 1; }
    sleep 0.1
  done
  # Three bricks of one replica set on one server, on whatever file system
  # holds the temporary folder: both need "force".
  gv_cli volume create "$GV_VOLUME" replica 3 \
    "$GV_HOST:$gv_dir/bricks/1" "$GV_HOST:$gv_dir/bricks/2" "$GV_HOST:$gv_dir/bricks/3" force >/dev/null \
    || { gv_say "volume create failed"; return 1; }
  local opts=($GV_VOLUME_OPTIONS) i
  for ((i = 0; i + 1 < ${#opts[@]}; i += 2)); do
    gv_cli volume set "$GV_VOLUME" "${opts[i]}" "${opts[i + 1]}" >/dev/null \
      || { gv_say "volume set ${opts[i]} ${opts[i + 1]} failed"; return 1; }
  done
  gv_cli volume start "$GV_VOLUME" >/dev/null || { gv_say "volume start failed"; return 1; }
  for ((n = 1; n <= mounts; n++)); do
    mkdir -p "$gv_dir/mnt/$n"
    # -N keeps the client in the foreground, so its process id is ours.
    glusterfs -N --volfile-server="$GV_HOST" --volfile-id="$GV_VOLUME" $GV_MOUNT_OPTIONS \
      --log-file="$gv_dir/log/mount-$n.log" "$gv_dir/mnt/$n" >/dev/null 2>&1 &
    gv_mount_pids+=($!)
    gv_mounts+=("$gv_dir/mnt/$n")
  done
  for ((n = 1; n <= mounts; n++)); do
    local ok=0 t
    for t in $(seq 100); do
      if grep -q " $gv_dir/mnt/$n fuse" /proc/mounts && [ -d "$gv_dir/mnt/$n/." ] && stat "$gv_dir/mnt/$n/." >/dev/null 2>&1; then
        ok=1
        break
      fi
      sleep 0.1
    done
    [ "$ok" -eq 1 ] || { gv_say "mount $n did not come up: $(tail -5 "$gv_dir/log/mount-$n.log")"; return 1; }
  done
  gv_say "volume $GV_VOLUME: 3 bricks under $gv_dir/bricks, mounted at $gv_dir/mnt/1..$mounts"
}

gv_kill_brick() {
  local pid
  pid=$(cat "$(gv_brick_pid_file "$1")")
  kill -KILL "$pid"
  gv_say "brick $1 (process $pid) killed"
}

# What a brick process killed in the middle of a create leaves on its
# brick: an entry the brick made but never gave its GlusterFS gfid (no
# trusted.gfid, no handle under .glusterfs). Self-heal cannot remove such
# an entry (gluster/glusterfs#848), so a folder holding one cannot be
# removed on that brick and comes back, from that brick, on every brick.
# Removed from the dead brick before it starts again, as the README's
# "Running on several machines" says; the create went on, or not, on the
# other bricks, and self-heal brings the brick up to date with them.
gv_clean_brick() {
  local brick="$gv_dir/bricks/$1" f
  find "$brick" -mindepth 1 -depth ! -path "$brick/.glusterfs*" -print0 |
    while IFS= read -r -d '' f; do
      getfattr --absolute-names -n trusted.gfid "$f" >/dev/null 2>&1 || rm -d -v "$f" >&2 || true
    done
  return 0
}

# Starts the bricks that are down again (glusterd starts only those).
gv_restart_bricks() {
  gv_cli volume start "$GV_VOLUME" force >/dev/null
  gv_say "bricks restarted"
}

# Waits until self-heal has nothing left to heal; false after SECONDS.
gv_wait_heal() {
  local deadline=$((SECONDS + $1)) left
  gv_cli volume heal "$GV_VOLUME" >/dev/null 2>&1 || true
  while [ "$SECONDS" -lt "$deadline" ]; do
    # (heal info would need glusterd on its compiled-in socket; the
    # self-heal daemon's own count does not.)
    left=$(gv_cli volume heal "$GV_VOLUME" statistics heal-count 2>/dev/null |
      awk -F: '/Number of entries/ { s += $2; n++ } END { if (n == 3) print s; else print "?" }') || left="?"
    if [ "$left" = "0" ]; then return 0; fi
    sleep 1
  done
  gv_say "self-heal still has entries after $1 s: $left"
  return 1
}

# Stops a process by id: TERM, a few seconds, then KILL.
gv_stop_pid() {
  local pid="$1" t
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for t in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

gv_down() {
  local pid m
  [ -n "$gv_dir" ] || return 0
  for pid in "${gv_mount_pids[@]}"; do gv_stop_pid "$pid"; done
  for m in "${gv_mounts[@]}"; do
    if grep -q " $m fuse" /proc/mounts; then umount -l "$m" 2>/dev/null || true; fi
  done
  for pid in $(gv_daemon_pids); do gv_stop_pid "$pid"; done
  [ -n "$gv_glusterd_pid" ] && gv_stop_pid "$gv_glusterd_pid"
  for pid in "${gv_mount_pids[@]}" $gv_glusterd_pid; do wait "$pid" 2>/dev/null || true; done
  if [ "$gv_bound" -eq 1 ]; then
    umount /var/lib/glusterd /run/gluster /var/log/glusterfs 2>/dev/null || true
    gv_bound=0
  fi
  gv_mount_pids=()
  gv_mounts=()
  gv_glusterd_pid=""
  gv_dir=""  # its pid files name nothing of ours any more
}
