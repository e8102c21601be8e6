# Modeled block throughput against block size, per transport path: reads on
# the left, writes on the right; FT2232D solid, FT2232H dashed.
# gnuplot -e "datadir='DIR'; output='FILE.png'" bench/throughput.gp
set terminal pngcairo size 1400,560 font ",10"
set output output
set multiplot layout 1,2
set logscale xy
set xrange [3:5000]
set yrange [0.05:2000]
set xtics (4, 16, 64, 256, 1024, 4096)
set grid
set xlabel "block size (bytes)"
set ylabel "modeled throughput (KB/s)"
set key left top font ",9"
# Series come in path order, the FT2232D's four first.
colour(i) = word("#1f77b4 #d62728 #2ca02c #9467bd", i % 4 + 1)
dash(i) = i < 4 ? 1 : 2
do for [direction in "read write"] {
    file = datadir . "/sweep-" . direction . ".dat"
    blocks = int(system("grep -c '^\"' " . file))
    set title "DebugReadBlock / DebugWriteBlock at 6 MHz: " . direction
    plot for [i=0:blocks-1] file index i using 1:2 with linespoints \
        lc rgb colour(i) dt dash(i) pt 7 ps 0.6 title columnheader(1)
}
unset multiplot
