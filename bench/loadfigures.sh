# Shared by the load scripts (sourced): reads figures out of ferrow-loadbench reports.

# Prints one figure of every report in FILE, a line each: delivered, p50, p99, drain, cpu,
# cpumsg (server CPU per message, in microseconds), commit, or with several servers samep50 and
# crossp50 (see the report's lines of the same names).
figure() {
    case $1 in
    delivered) pattern='s/.*deliveries.*(\([0-9.]*\) %).*/\1/p' ;;
    p50) pattern='s/.*latency p50 *\([0-9.]*\) ms.*/\1/p' ;;
    p99) pattern='s/.*latency p99 *\([0-9.]*\) ms.*/\1/p' ;;
    drain) pattern='s/.*last receipt \([0-9.]*\) ms after.*/\1/p' ;;
    cpu) pattern='s/.*server cpu .*(\([0-9.]*\) % of one core).*/\1/p' ;;
    cpumsg) pattern='s/.*cpu per message *\([0-9.]*\) us.*/\1/p' ;;
    commit) pattern='s/.*commit time *mean \([0-9.]*\) ms.*/\1/p' ;;
    samep50) pattern='s/.*same server *p50 \([0-9.]*\) ms.*/\1/p' ;;
    crossp50) pattern='s/.*across servers *p50 \([0-9.]*\) ms.*/\1/p' ;;
    *) echo "unknown figure $1" >&2; return 2 ;;
    esac
    sed -n "$pattern" "$2"
}

# The median of the numbers on standard input, one a line; "-" when there are none.
median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2); else print "-" }'
}
