# Draws bench.png from the .dat files beside it (run in this directory).
set terminal pngcairo size 2400,520 font "sans,10"
set output "bench.png"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set key top right
set logscale y
set multiplot layout 1,4 title "Pellix beside the direct loopback floor, the relay floor and Mosquitto"
set title "forward-flood, one sender to one receiver"
set ylabel "messages per second (log scale)"
set xlabel "payload"
set format y "%.0s%c"
plot 'throughput.dat' using 2:xtic(1) title "Direct floor" lt 1, '' using 3 title "Relay floor" lt 2, '' using 4 title "Pellix" lt 3, '' using 5 title "Pellix hardened" lt 4, '' using 6 title "Mosquitto" lt 5
set title "forward-paced, 5000 frames/s of 32 B, one-way latency"
set key top left
set ylabel "microseconds (log scale)"
set xlabel "percentile"
set format y "%g"
plot 'latency.dat' using 2:xtic(1) title "Direct floor" lt 1, '' using 3 title "Relay floor" lt 2, '' using 4 title "Pellix" lt 3, '' using 5 title "Pellix hardened" lt 4, '' using 6 title "Mosquitto" lt 5
set title "probes between a healthy pair while stuck modules are flooded"
set ylabel "milliseconds (log scale)"
set xlabel "probe latency"
plot 'stuck.dat' using 2:xtic(1) title "Pellix" lt 3, '' using 3 title "Pellix hardened" lt 4, '' using 4 title "Mosquitto" lt 5
set title "one-way latency against connections, 50 frames/s each"
set style data linespoints
set logscale x 2
set xlabel "connections"
set ylabel "microseconds (log scale)"
set xtics (2, 8, 32, 128, 200)
set key top left
plot 'sweep.dat' using 1:2 title "Pellix p50" lt 3 lw 2, '' using 1:3 title "Pellix p99" lt 3 dt 2 lw 2, '' using 1:4 title "hardened p50" lt 4 lw 2, '' using 1:5 title "hardened p99" lt 4 dt 2 lw 2, '' using 1:6 title "Mosquitto p50" lt 5 lw 2, '' using 1:7 title "Mosquitto p99" lt 5 dt 2 lw 2
unset multiplot
