# Drawn by calvenor; to redraw, run `gnuplot synth.gp` in this folder.
set encoding utf8
if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {
  set terminal pngcairo size 1500,1490 enhanced font 'DejaVu Sans,11' background rgb 'white'
} else {
  set terminal png size 1500,1490 enhanced font 'DejaVu Sans,11' background rgb 'white'
}
set output 'synth.png'
set multiplot layout 3,2 title 'Synthetic tests (noise 0): points, the data; lines, the model with the true parameters' font ',15'
reset
set grid lc rgb '#dddddd'
set border lw 1.2
set tics nomirror out
set border 3
set key inside right bottom Left reverse samplen 2 spacing 1.1 box lc rgb '#bbbbbb' opaque
set title 'Undrained, constant volume (type 1): deviator stress' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'deviator stress q (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key bottom
plot 'synth-data/test1-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'synth-data/test1-simulated.dat' using 1:2 with lines lw 2 lc rgb '#1f77b4' title 'CU100 (p''_c 100 kPa)', \
     'synth-data/test2-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'synth-data/test2-simulated.dat' using 1:2 with lines lw 2 lc rgb '#d62728' title 'CU200 (p''_c 200 kPa)', \
     'synth-data/test3-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'synth-data/test3-simulated.dat' using 1:2 with lines lw 2 lc rgb '#2ca02c' title 'CU400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border lw 1.2
set tics nomirror out
set border 3
set key inside right bottom Left reverse samplen 2 spacing 1.1 box lc rgb '#bbbbbb' opaque
set title 'Undrained, constant volume (type 1): pore pressure' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'pore pressure u (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key bottom
plot 'synth-data/test1-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'synth-data/test1-simulated.dat' using 1:5 with lines lw 2 lc rgb '#1f77b4' title 'CU100 (p''_c 100 kPa)', \
     'synth-data/test2-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'synth-data/test2-simulated.dat' using 1:5 with lines lw 2 lc rgb '#d62728' title 'CU200 (p''_c 200 kPa)', \
     'synth-data/test3-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'synth-data/test3-simulated.dat' using 1:5 with lines lw 2 lc rgb '#2ca02c' title 'CU400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border lw 1.2
set tics nomirror out
set border 3
set key inside right bottom Left reverse samplen 2 spacing 1.1 box lc rgb '#bbbbbb' opaque
set title 'Drained, constant cell pressure (type 3): deviator stress' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'deviator stress q (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key bottom
plot 'synth-data/test4-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#ff7f0e' notitle, \
     'synth-data/test4-simulated.dat' using 1:2 with lines lw 2 lc rgb '#ff7f0e' title 'CD100 (p''_c 100 kPa)', \
     'synth-data/test5-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#9467bd' notitle, \
     'synth-data/test5-simulated.dat' using 1:2 with lines lw 2 lc rgb '#9467bd' title 'CD200 (p''_c 200 kPa)', \
     'synth-data/test6-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#8c564b' notitle, \
     'synth-data/test6-simulated.dat' using 1:2 with lines lw 2 lc rgb '#8c564b' title 'CD400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border lw 1.2
set tics nomirror out
set border 3
set key inside right bottom Left reverse samplen 2 spacing 1.1 box lc rgb '#bbbbbb' opaque
set title 'Drained, constant cell pressure (type 3): volumetric strain' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'volumetric strain ε_v (%)'
set xrange [0:*]
set autoscale xfixmax
set key bottom
plot 'synth-data/test4-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#ff7f0e' notitle, \
     'synth-data/test4-simulated.dat' using 1:4 with lines lw 2 lc rgb '#ff7f0e' title 'CD100 (p''_c 100 kPa)', \
     'synth-data/test5-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#9467bd' notitle, \
     'synth-data/test5-simulated.dat' using 1:4 with lines lw 2 lc rgb '#9467bd' title 'CD200 (p''_c 200 kPa)', \
     'synth-data/test6-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#8c564b' notitle, \
     'synth-data/test6-simulated.dat' using 1:4 with lines lw 2 lc rgb '#8c564b' title 'CD400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border lw 1.2
set tics nomirror out
set border 3
set key inside right bottom Left reverse samplen 2 spacing 1.1 box lc rgb '#bbbbbb' opaque
unset border
unset tics
unset grid
unset key
set xrange [0:1]
set yrange [0:1]
set title 'True parameters' font ',12'
set label 1 'propm     1.2' at graph 0.02, graph 0.95 font 'DejaVu Sans Mono,10'
set label 2 'enu       0.3' at graph 0.02, graph 0.875 font 'DejaVu Sans Mono,10'
set label 3 'pkappa    0.02' at graph 0.02, graph 0.7999999999999999 font 'DejaVu Sans Mono,10'
set label 4 'plamda    0.12' at graph 0.02, graph 0.725 font 'DejaVu Sans Mono,10'
set label 5 'pnvoid    2.3' at graph 0.02, graph 0.6499999999999999 font 'DejaVu Sans Mono,10'
set label 6 'cohesion  0' at graph 0.02, graph 0.575 font 'DejaVu Sans Mono,10'
set label 7 'z         2.2' at graph 0.02, graph 0.5 font 'DejaVu Sans Mono,10'
set label 8 'chi       0.2' at graph 0.02, graph 0.42499999999999993 font 'DejaVu Sans Mono,10'
set label 9 'sm        1' at graph 0.02, graph 0.35 font 'DejaVu Sans Mono,10'
plot NaN notitle
unset multiplot
set output
set terminal svg size 1500,1490 enhanced font 'DejaVu Sans,11' background rgb 'white'
set output 'synth.svg'
set multiplot layout 3,2 title 'Synthetic tests (noise 0): points, the data; lines, the model with the true parameters' font ',15'
reset
set grid lc rgb '#dddddd'
set border lw 1.2
set tics nomirror out
set border 3
set key inside right bottom Left reverse samplen 2 spacing 1.1 box lc rgb '#bbbbbb' opaque
set title 'Undrained, constant volume (type 1): deviator stress' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'deviator stress q (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key bottom
plot 'synth-data/test1-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'synth-data/test1-simulated.dat' using 1:2 with lines lw 2 lc rgb '#1f77b4' title 'CU100 (p''_c 100 kPa)', \
     'synth-data/test2-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'synth-data/test2-simulated.dat' using 1:2 with lines lw 2 lc rgb '#d62728' title 'CU200 (p''_c 200 kPa)', \
     'synth-data/test3-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'synth-data/test3-simulated.dat' using 1:2 with lines lw 2 lc rgb '#2ca02c' title 'CU400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border lw 1.2
set tics nomirror out
set border 3
set key inside right bottom Left reverse samplen 2 spacing 1.1 box lc rgb '#bbbbbb' opaque
set title 'Undrained, constant volume (type 1): pore pressure' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'pore pressure u (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key bottom
plot 'synth-data/test1-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'synth-data/test1-simulated.dat' using 1:5 with lines lw 2 lc rgb '#1f77b4' title 'CU100 (p''_c 100 kPa)', \
     'synth-data/test2-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'synth-data/test2-simulated.dat' using 1:5 with lines lw 2 lc rgb '#d62728' title 'CU200 (p''_c 200 kPa)', \
     'synth-data/test3-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'synth-data/test3-simulated.dat' using 1:5 with lines lw 2 lc rgb '#2ca02c' title 'CU400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border lw 1.2
set tics nomirror out
set border 3
set key inside right bottom Left reverse samplen 2 spacing 1.1 box lc rgb '#bbbbbb' opaque
set title 'Drained, constant cell pressure (type 3): deviator stress' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'deviator stress q (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key bottom
plot 'synth-data/test4-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#ff7f0e' notitle, \
     'synth-data/test4-simulated.dat' using 1:2 with lines lw 2 lc rgb '#ff7f0e' title 'CD100 (p''_c 100 kPa)', \
     'synth-data/test5-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#9467bd' notitle, \
     'synth-data/test5-simulated.dat' using 1:2 with lines lw 2 lc rgb '#9467bd' title 'CD200 (p''_c 200 kPa)', \
     'synth-data/test6-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#8c564b' notitle, \
     'synth-data/test6-simulated.dat' using 1:2 with lines lw 2 lc rgb '#8c564b' title 'CD400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border lw 1.2
set tics nomirror out
set border 3
set key inside right bottom Left reverse samplen 2 spacing 1.1 box lc rgb '#bbbbbb' opaque
set title 'Drained, constant cell pressure (type 3): volumetric strain' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'volumetric strain ε_v (%)'
set xrange [0:*]
set autoscale xfixmax
set key bottom
plot 'synth-data/test4-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#ff7f0e' notitle, \
     'synth-data/test4-simulated.dat' using 1:4 with lines lw 2 lc rgb '#ff7f0e' title 'CD100 (p''_c 100 kPa)', \
     'synth-data/test5-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#9467bd' notitle, \
     'synth-data/test5-simulated.dat' using 1:4 with lines lw 2 lc rgb '#9467bd' title 'CD200 (p''_c 200 kPa)', \
     'synth-data/test6-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#8c564b' notitle, \
     'synth-data/test6-simulated.dat' using 1:4 with lines lw 2 lc rgb '#8c564b' title 'CD400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border lw 1.2
set tics nomirror out
set border 3
set key inside right bottom Left reverse samplen 2 spacing 1.1 box lc rgb '#bbbbbb' opaque
unset border
unset tics
unset grid
unset key
set xrange [0:1]
set yrange [0:1]
set title 'True parameters' font ',12'
set label 1 'propm     1.2' at graph 0.02, graph 0.95 font 'DejaVu Sans Mono,10'
set label 2 'enu       0.3' at graph 0.02, graph 0.875 font 'DejaVu Sans Mono,10'
set label 3 'pkappa    0.02' at graph 0.02, graph 0.7999999999999999 font 'DejaVu Sans Mono,10'
set label 4 'plamda    0.12' at graph 0.02, graph 0.725 font 'DejaVu Sans Mono,10'
set label 5 'pnvoid    2.3' at graph 0.02, graph 0.6499999999999999 font 'DejaVu Sans Mono,10'
set label 6 'cohesion  0' at graph 0.02, graph 0.575 font 'DejaVu Sans Mono,10'
set label 7 'z         2.2' at graph 0.02, graph 0.5 font 'DejaVu Sans Mono,10'
set label 8 'chi       0.2' at graph 0.02, graph 0.42499999999999993 font 'DejaVu Sans Mono,10'
set label 9 'sm        1' at graph 0.02, graph 0.35 font 'DejaVu Sans Mono,10'
plot NaN notitle
unset multiplot
set output
