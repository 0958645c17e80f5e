# Throughput against image size, drawn from table.py's throughput.dat:
#   gnuplot -e "data='throughput.dat'; out='throughput.png'; names='a b c'" bench/plot.gp
# One block of data per implementation, in the order of `names`; the first is
# memcpy, the roof. Square images are joined by a line; the other shapes are
# squares of the same colour, named along the top.
set terminal pngcairo size 1200,750 font ",10" noenhanced
set output out
set logscale xy
set yrange [0.03:200]
set format x "1e%L"
set xlabel "image size (elements)"
set ylabel "Gelem/s, one thread (median)"
set title "3x3 int32 convolution against memcpy of the same bytes"
set key outside right top
set grid xtics ytics mxtics mytics lc rgb "#dddddd"
n = words(names)
# Block 2i-2 holds implementation i's square images, block 2i-1 its others.
sq(i) = 2 * i - 2
ot(i) = 2 * i - 1
plot data index sq(1) using 1:2 with linespoints lc rgb "black" lw 3 dt 2 pt 7 ps 0.8 \
         title "memcpy (roof)", \
     data index ot(1) using 1:2 with points lc rgb "black" pt 5 notitle, \
     data index ot(1) using 4:(60):3 with labels rotate by 60 left font ",8" notitle, \
     for [i=2:n] data index sq(i) using 1:2 with linespoints lc i lw 2 pt 7 ps 0.8 \
         title word(names, i), \
     for [i=2:n] data index ot(i) using 1:2 with points lc i pt 5 notitle
