# Throughput through the whole stack against the number of pipes open at
# once, no link delay; drawn from pipes.csv (bench/scaling_table.cpp).
set terminal svg size 640,400 dynamic font "sans,11"
set output "pipes.svg"
set datafile separator ","
set title "Aggregate throughput against pipes (emulated link, no delay)"
set xlabel "pipes writing at once"
set ylabel "MB/s (median, min-max bar)"
set logscale x 2
set xrange [0.8:160]
set yrange [0:*]
set grid
set key top left
plot "pipes.csv" every ::1 using 1:3:4:5 with yerrorlines lw 2 pt 7 title "connection, USB driver, emulated device"
