#!/usr/bin/env bash
# A single-node Slurm cluster on localhost, for the tests of nodrix sweep --slurm.
#
#   bash scripts/slurm-cluster.sh start DIR   starts it (as root), its files in DIR
#   bash scripts/slurm-cluster.sh stop DIR    stops what start started, removes DIR
#
# start writes DIR/slurm.conf (the clients find the cluster with
# SLURM_CONF=DIR/slurm.conf), starts munged when no munge daemon answers,
# then slurmctld and slurmd on free ports, and waits until the node is idle.
# It exits 1 with the reason when any step fails. stop ends only the daemons
# whose process ids start recorded.
set -euo pipefail

action=${1:-}
dir=${2:-}
if [ -z "$action" ] || [ -z "$dir" ]; then
  echo "usage: $0 start|stop DIR" >&2
  exit 2
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

fail() {
  echo "slurm-cluster: $*" >&2
  exit 1
}

# Ends a daemon whose pid file we wrote or it wrote, if it still runs.
stop_pid_file() {
  local file=$1 pid
  [ -f "$file" ] || return 0
  pid=$(cat "$file" 2>/dev/null || true)
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$file"
}

if [ "$action" = stop ]; then
  stop_pid_file "$dir/slurmd.pid"
  stop_pid_file "$dir/slurmctld.pid"
  [ -f "$dir/munged.started" ] && stop_pid_file /run/munge/munged.pid
  rm -rf "$dir"
  exit 0
fi
[ "$action" = start ] || fail "unknown action $action (start or stop)"

[ "$(id -u)" -eq 0 ] || fail "start the test cluster as root (its daemons run as root and munge)"
for program in munged slurmctld slurmd sinfo sbatch; do
  command -v "$program" >/dev/null 2>&1 || [ -x "/usr/sbin/$program" ] ||
    fail "$program is not installed (scripts/setup.sh installs slurm-wlm and munge)"
done
export PATH="$PATH:/usr/sbin"

# Munge: the credentials Slurm's daemons and clients exchange.
if ! munge -n 2>/dev/null | unmunge >/dev/null 2>&1; then
  install -d -o munge -g munge -m 0755 /run/munge
  [ -s /etc/munge/munge.key ] || runuser -u munge -- mungekey --create >/dev/null ||
    fail "cannot create /etc/munge/munge.key"
  runuser -u munge -- munged || fail "munged did not start"
  touch "$dir/munged.started"
  for _ in $(seq 50); do munge -n 2>/dev/null | unmunge >/dev/null 2>&1 && break; sleep 0.1; done
  munge -n 2>/dev/null | unmunge >/dev/null 2>&1 || fail "munged does not answer"
fi

# Two free TCP ports for the controller and the node daemon.
free_port() {
  local port
  for port in $(seq "$1" $(($1 + 200))); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && [ "$port" != "${taken:-}" ]; then
      echo "$port"
      return 0
    fi
  done
  return 1
}
ctld_port=$(free_port 16817) || fail "no free port for slurmctld"
taken=$ctld_port
slurmd_port=$(free_port $((ctld_port + 1))) || fail "no free port for slurmd"

mkdir -p "$dir/state" "$dir/spool" "$dir/log"
cat >"$dir/slurm.conf" <<EOF
ClusterName=nodrixtest
SlurmctldHost=localhost
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthType=auth/munge
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
ReturnToService=2
MinJobAge=600
NodeName=localhost NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=4000 State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$dir/slurm.conf"

slurmctld -f "$SLURM_CONF" || fail "slurmctld did not start (see $dir/log/slurmctld.log)"
slurmd -f "$SLURM_CONF" -N localhost || fail "slurmd did not start (see $dir/log/slurmd.log)"
for _ in $(seq 60); do
  state=$(sinfo -h -n localhost -o %T 2>/dev/null || true)
  if [ "$state" = idle ]; then
    echo "Slurm test cluster up: SLURM_CONF=$SLURM_CONF (ports $ctld_port, $slurmd_port)"
    exit 0
  fi
  sleep 0.5
done
fail "the node is not idle after 30 s (state: ${state:-none}); see $dir/log"
