# Throughput through the whole stack against the emulated link's delay (each
# way), for 1, 8 and 125 pipes, beside each one's stop-and-wait bound of one
# 512-byte block per round trip; drawn from delay.csv.
set terminal svg size 640,400 dynamic font "sans,11"
set output "delay.svg"
set datafile separator ","
set title "Aggregate throughput against link delay"
set xlabel "delay each way (ms)"
set ylabel "MB/s (log scale)"
set logscale y 10
set xrange [0:2.1]
set grid
set key top right
bound(p, d) = d > 0 ? p * 512 / (2 * d * 1e-6) / 1e6 : 1/0
plot for [p in "1 8 125"] "delay.csv" every ::1 using ($1 == p+0 ? $2 / 1000 : 1/0):3 \
         with linespoints lw 2 pt 7 title p." pipe".(p+0 == 1 ? "" : "s"), \
     for [p in "1 8 125"] "delay.csv" every ::1 using ($1 == p+0 && $2 > 0 ? $2 / 1000 : 1/0):(bound(p+0, $2)) \
         with lines dt 2 lc "gray" title (p eq "1" ? "one block per round trip" : "")
