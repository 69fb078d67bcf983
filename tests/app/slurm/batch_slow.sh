#!/usr/bin/env bash
# scripts/slurm-batch.sh against a real Slurm: a single-node cluster (slurmctld, slurmd and
# munged, all in a scratch folder, on ports of their own) is started here, a cohort of 4
# small phantoms goes through an array of 2 tasks and the dependent merge, and the merged
# table is checked. Skips (77) where Slurm or munge is not installed.
set -u
TARVO=$1 PHANTOM=$2
SCRIPT=$(cd "$(dirname "$0")/../../.." && pwd)/scripts/slurm-batch.sh
for p in slurmctld slurmd munged sbatch squeue mungekey; do
  command -v $p > /dev/null || PATH=$PATH:/usr/sbin command -v $p > /dev/null || { echo "SKIP: $p not installed"; exit 77; }
done
export PATH=$PATH:/usr/sbin
fail=0
bad() { echo "FAIL $*"; fail=1; }
tmp=$(mktemp -d /tmp/tarvo-slurm.XXXXXX)
chmod 755 "$tmp"
export SLURM_CONF=$tmp/slurm.conf
stop() {
  scontrol shutdown > /dev/null 2>&1
  for f in slurmctld slurmd; do [ -s "$tmp/$f.pid" ] && kill "$(cat "$tmp/$f.pid")" 2> /dev/null; done
  munged -s --socket="$tmp/munge.sock" > /dev/null 2>&1
  sleep 1
  rm -rf "$tmp"
}
trap stop EXIT

# Ports of our own, so that two runs (or a real cluster) do not meet.
port=$((20000 + $$ % 20000))
host=$(hostname -s)
user=$(id -un)
mkdir -p "$tmp/state" "$tmp/spool"
mungekey -c -k "$tmp/munge.key" 2> /dev/null || dd if=/dev/urandom of="$tmp/munge.key" bs=1024 count=1 2> /dev/null
chmod 600 "$tmp/munge.key"
munged -f --socket="$tmp/munge.sock" --key-file="$tmp/munge.key" --pid-file="$tmp/munged.pid" \
  --log-file="$tmp/munged.log" --seed-file="$tmp/munged.seed" || { echo "SKIP: munged does not start here"; exit 77; }
cat > "$SLURM_CONF" <<CONF
ClusterName=tarvotest
SlurmctldHost=$host
SlurmUser=$user
SlurmdUser=$user
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
AuthInfo=socket=$tmp/munge.sock
CredType=cred/munge
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdLogFile=$tmp/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
MpiDefault=none
ReturnToService=2
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
NodeName=$host CPUs=2 State=UNKNOWN
PartitionName=test Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
slurmctld -c -f "$SLURM_CONF" && slurmd -f "$SLURM_CONF" || { echo "SKIP: Slurm does not start here"; exit 77; }
for _ in $(seq 100); do sinfo -h -o %t 2> /dev/null | grep -q idle && break; sleep 0.2; done
sinfo -h -o %t | grep -q idle || { echo "SKIP: the node never became idle"; cat "$tmp"/*.log; exit 77; }

cd "$tmp"
grid="--grid 48 48 48 --voxel 2 2 2 --head-length 80 --noise 3"
"$PHANTOM" --out ref.nii.gz --contrast t1 $grid --seed 1 --datatype 4
for i in 1 2 3 4; do
  "$PHANTOM" --out "s$i.nii.gz" --contrast t2 $grid --seed $((i + 1)) --affine $((2 * i)) -3 2 $i -2 1 1.02 0.98 1 0 0 0
  echo "$tmp/s$i.nii.gz" >> list.txt
done

# The tasks run the CPU backend, as the rest of the tests do.
export TARVO_DEVICE=cpu
bash "$SCRIPT" --tasks 2 --tarvo "$TARVO" ref.nii.gz list.txt --out-dir "$tmp/out" --threads 1 > submit.txt \
  || bad "submission: $(cat submit.txt)"
cat submit.txt
merge=$(sed -n 's/^merge job: \([0-9]*\).*/\1/p' submit.txt)
for _ in $(seq 900); do
  [ -z "$(squeue -h -o %i 2> /dev/null)" ] && break
  sleep 1
done
[ -z "$(squeue -h -o %i)" ] || bad "jobs still queued: $(squeue)"
[ -n "$merge" ] || bad "no merge job id"
# Each task wrote its shard's table; the merge the whole list, in list order.
for i in 1 2; do [ -s out/results.shard-$i-of-2.tsv ] || bad "no table of shard $i"; done
[ "$(grep -c '	ok	' out/results.tsv)" -eq 4 ] || bad "merged table: $(cat out/results.tsv); $(cat out/slurm/*.log)"
[ "$(cut -f 1 out/results.tsv | tr '\n' ' ')" = "id s1 s2 s3 s4 " ] || bad "merged order: $(cat out/results.tsv)"
grep -q 's1\|s3' out/results.shard-1-of-2.tsv && ! grep -q 's2\|s4' out/results.shard-1-of-2.tsv \
  || bad "shard 1: $(cat out/results.shard-1-of-2.tsv)"

[ $fail -eq 0 ] && echo "slurm batch: all passed"
exit $fail
