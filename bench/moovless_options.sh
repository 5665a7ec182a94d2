# The options the MP4 benchmarks share, sourced with their arguments:
#   --camera | --cavlc      the content of the file (make_moovless_mp4.sh CONTENT)
#   --zero-tail TOTAL_MIB   extend it with zeros to TOTAL_MIB
#   --cut                   cut it 1 MiB short, inside its media data
#   --noise                 overwrite the middle quarter of it with random bytes
#   --delay SECONDS         when to cancel (mp4_cancel_bench.sh)
# Leaves content (the caller's default unless chosen), total_mib, cut and noise (yes or
# no), delay, and the arguments after the options in rest.
total_mib=0
cut=no
noise=no
delay=1
while [[ ${1:-} == --* ]]; do
  case $1 in
  --camera | --cavlc) content=${1#--} ;;
  --cut) cut=yes ;;
  --noise) noise=yes ;;
  --zero-tail | --delay)
    declare "$([[ $1 == --delay ]] && echo delay || echo total_mib)=$2"
    shift
    ;;
  *)
    echo "$(basename "$0"): unknown option $1" >&2
    exit 2
    ;;
  esac
  shift
done
rest=("$@")
