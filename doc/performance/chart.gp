# Draws bench.png from throughput.dat and latency.dat (run in this directory).
set terminal pngcairo size 1800,520 font "sans,10"
set output "bench.png"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set key top right
set logscale y
set multiplot layout 1,3 title "Pellix beside the direct loopback floor and Mosquitto"
set title "forward-flood, one sender to one receiver"
set ylabel "messages per second (log scale)"
set xlabel "payload"
set format y "%.0s%c"
plot 'throughput.dat' using 2:xtic(1) title "Direct floor", '' using 3 title "Pellix, 1 ms pause", '' using 4 title "Pellix, no pause", '' using 5 title "Mosquitto"
set title "forward-paced, 5000 frames/s of 32 B, one-way latency"
set key top left
set ylabel "microseconds (log scale)"
set xlabel "percentile"
set format y "%g"
plot 'latency.dat' using 2:xtic(1) title "Direct floor", '' using 3 title "Pellix, 1 ms pause", '' using 4 title "Pellix, no pause", '' using 5 title "Mosquitto"
set title "one-way latency against connections, 50 frames/s each"
set style data linespoints
set logscale x 2
set xlabel "connections"
set xtics (2, 8, 32, 128, 200)
set key top left
plot 'sweep.dat' using 1:2 title "1 ms pause p50" lw 2, '' using 1:3 title "1 ms pause p99" lw 2, '' using 1:4 title "no pause p50" lw 2, '' using 1:5 title "no pause p99" lw 2, '' using 1:6 title "Mosquitto p50" lw 2, '' using 1:7 title "Mosquitto p99" lw 2
unset multiplot
