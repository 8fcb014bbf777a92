# Drawn by calvenor; to redraw, run `gnuplot calibration.gp` in this folder.
set encoding utf8
png = strstrt(GPVAL_TERMINALS, 'pngcairo') > 0 ? 'pngcairo' : 'png'
set terminal @png size 1500,1500 enhanced font 'DejaVu Sans,11' background rgb 'white'
set output 'calibration.png'
set multiplot title 'Calibration, examples/synthetic-clay: error value 4.5163e-06  (points: measured; lines: simulated with the best parameters)' font ',15'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0, 0.633333
set size 0.5, 0.313333
set lmargin at screen 0.0566667
set rmargin at screen 0.348667
set tmargin at screen 0.916667
set bmargin at screen 0.673333
set title 'Undrained, constant volume (type 1): deviator stress' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'deviator stress q (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key at screen 0.356667, 0.916667 left top Left reverse samplen 2 spacing 1.1 nobox
plot 'calibration-data/test1-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'calibration-data/test1-simulated.dat' using 1:2 with lines lw 2 lc rgb '#1f77b4' title 'CU100 (p''_c 100 kPa)', \
     'calibration-data/test2-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'calibration-data/test2-simulated.dat' using 1:2 with lines lw 2 lc rgb '#d62728' title 'CU200 (p''_c 200 kPa)', \
     'calibration-data/test3-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'calibration-data/test3-simulated.dat' using 1:2 with lines lw 2 lc rgb '#2ca02c' title 'CU400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0.5, 0.633333
set size 0.5, 0.313333
set lmargin at screen 0.556667
set rmargin at screen 0.848667
set tmargin at screen 0.916667
set bmargin at screen 0.673333
set title 'Undrained, constant volume (type 1): pore pressure' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'pore pressure u (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key at screen 0.856667, 0.916667 left top Left reverse samplen 2 spacing 1.1 nobox
plot 'calibration-data/test1-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'calibration-data/test1-simulated.dat' using 1:5 with lines lw 2 lc rgb '#1f77b4' title 'CU100 (p''_c 100 kPa)', \
     'calibration-data/test2-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'calibration-data/test2-simulated.dat' using 1:5 with lines lw 2 lc rgb '#d62728' title 'CU200 (p''_c 200 kPa)', \
     'calibration-data/test3-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'calibration-data/test3-simulated.dat' using 1:5 with lines lw 2 lc rgb '#2ca02c' title 'CU400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0, 0.32
set size 0.5, 0.313333
set lmargin at screen 0.0566667
set rmargin at screen 0.348667
set tmargin at screen 0.603333
set bmargin at screen 0.36
set title 'Drained, constant cell pressure (type 3): deviator stress' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'deviator stress q (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key at screen 0.356667, 0.603333 left top Left reverse samplen 2 spacing 1.1 nobox
plot 'calibration-data/test4-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'calibration-data/test4-simulated.dat' using 1:2 with lines lw 2 lc rgb '#1f77b4' title 'CD100 (p''_c 100 kPa)', \
     'calibration-data/test5-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'calibration-data/test5-simulated.dat' using 1:2 with lines lw 2 lc rgb '#d62728' title 'CD200 (p''_c 200 kPa)', \
     'calibration-data/test6-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'calibration-data/test6-simulated.dat' using 1:2 with lines lw 2 lc rgb '#2ca02c' title 'CD400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0.5, 0.32
set size 0.5, 0.313333
set lmargin at screen 0.556667
set rmargin at screen 0.848667
set tmargin at screen 0.603333
set bmargin at screen 0.36
set title 'Drained, constant cell pressure (type 3): volumetric strain' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'volumetric strain ε_v (%)'
set xrange [0:*]
set autoscale xfixmax
set key at screen 0.856667, 0.603333 left top Left reverse samplen 2 spacing 1.1 nobox
plot 'calibration-data/test4-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'calibration-data/test4-simulated.dat' using 1:4 with lines lw 2 lc rgb '#1f77b4' title 'CD100 (p''_c 100 kPa)', \
     'calibration-data/test5-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'calibration-data/test5-simulated.dat' using 1:4 with lines lw 2 lc rgb '#d62728' title 'CD200 (p''_c 200 kPa)', \
     'calibration-data/test6-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'calibration-data/test6-simulated.dat' using 1:4 with lines lw 2 lc rgb '#2ca02c' title 'CD400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0, 0.00666667
set size 0.5, 0.313333
set lmargin at screen 0.0566667
set rmargin at screen 0.48
set tmargin at screen 0.29
set bmargin at screen 0.0466667
set title 'Convergence of the best error value' font ',12'
set xlabel 'evaluations'
set ylabel 'best error value'
unset key
set logscale y
set format y '10^{%L}'
set arrow from 8925, graph 0 to 8925, graph 1 nohead dt 2 lc rgb '#888888'
set label 'bobyqa' at 8925, graph 0.95 offset 0.5,0 tc rgb '#555555'
plot 'calibration-data/convergence.dat' using 1:2 with steps lw 2 lc rgb '#1f77b4' notitle
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0.5, 0.00666667
set size 0.5, 0.313333
set lmargin at screen 0.52
set rmargin at screen 0.986667
set tmargin at screen 0.29
set bmargin at screen 0.02
unset border
unset tics
unset grid
unset key
set xrange [0:1]
set yrange [0:1]
set title 'Best parameters' font ',12'
set label 1 'propm     1.2         [0.5, 2]' at graph 0.02, graph 0.95 font 'DejaVu Sans Mono,10'
set label 2 'enu       0.3         fixed' at graph 0.02, graph 0.890625 font 'DejaVu Sans Mono,10'
set label 3 'pkappa    0.02        [0.002, 0.1]' at graph 0.02, graph 0.8312499999999999 font 'DejaVu Sans Mono,10'
set label 4 'plamda    0.12        [0.02, 0.4]' at graph 0.02, graph 0.771875 font 'DejaVu Sans Mono,10'
set label 5 'pnvoid    2.3         [0.5, 3]' at graph 0.02, graph 0.7124999999999999 font 'DejaVu Sans Mono,10'
set label 6 'cohesion  0           fixed' at graph 0.02, graph 0.653125 font 'DejaVu Sans Mono,10'
set label 7 'z         2.2         [0.4, 3]' at graph 0.02, graph 0.59375 font 'DejaVu Sans Mono,10'
set label 8 'chi       0.2         [0, 0.9]' at graph 0.02, graph 0.534375 font 'DejaVu Sans Mono,10'
set label 9 'sm        1.00007     [0, 5]' at graph 0.02, graph 0.475 font 'DejaVu Sans Mono,10'
set label 10 '' at graph 0.02, graph 0.415625 font 'DejaVu Sans Mono,10'
set label 11 'error value   4.51632e-06' at graph 0.02, graph 0.35624999999999996 font 'DejaVu Sans Mono,10'
set label 12 'ErrorObjqz    1.69022e-06' at graph 0.02, graph 0.296875 font 'DejaVu Sans Mono,10'
set label 13 'ErrorObjpz    0' at graph 0.02, graph 0.23750000000000004 font 'DejaVu Sans Mono,10'
set label 14 'ErrorObjev    3.99093e-07' at graph 0.02, graph 0.17812499999999998 font 'DejaVu Sans Mono,10'
set label 15 'ErrorObju     2.427e-06' at graph 0.02, graph 0.11875000000000002 font 'DejaVu Sans Mono,10'
set label 16 'evaluations   9032 in 4.7 s' at graph 0.02, graph 0.059374999999999956 font 'DejaVu Sans Mono,10'
plot NaN notitle
unset multiplot
set output
set terminal svg size 1500,1500 enhanced font 'DejaVu Sans,11' background rgb 'white'
set output 'calibration.svg'
set multiplot title 'Calibration, examples/synthetic-clay: error value 4.5163e-06  (points: measured; lines: simulated with the best parameters)' font ',15'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0, 0.633333
set size 0.5, 0.313333
set lmargin at screen 0.0566667
set rmargin at screen 0.348667
set tmargin at screen 0.916667
set bmargin at screen 0.673333
set title 'Undrained, constant volume (type 1): deviator stress' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'deviator stress q (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key at screen 0.356667, 0.916667 left top Left reverse samplen 2 spacing 1.1 nobox
plot 'calibration-data/test1-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'calibration-data/test1-simulated.dat' using 1:2 with lines lw 2 lc rgb '#1f77b4' title 'CU100 (p''_c 100 kPa)', \
     'calibration-data/test2-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'calibration-data/test2-simulated.dat' using 1:2 with lines lw 2 lc rgb '#d62728' title 'CU200 (p''_c 200 kPa)', \
     'calibration-data/test3-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'calibration-data/test3-simulated.dat' using 1:2 with lines lw 2 lc rgb '#2ca02c' title 'CU400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0.5, 0.633333
set size 0.5, 0.313333
set lmargin at screen 0.556667
set rmargin at screen 0.848667
set tmargin at screen 0.916667
set bmargin at screen 0.673333
set title 'Undrained, constant volume (type 1): pore pressure' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'pore pressure u (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key at screen 0.856667, 0.916667 left top Left reverse samplen 2 spacing 1.1 nobox
plot 'calibration-data/test1-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'calibration-data/test1-simulated.dat' using 1:5 with lines lw 2 lc rgb '#1f77b4' title 'CU100 (p''_c 100 kPa)', \
     'calibration-data/test2-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'calibration-data/test2-simulated.dat' using 1:5 with lines lw 2 lc rgb '#d62728' title 'CU200 (p''_c 200 kPa)', \
     'calibration-data/test3-measured.dat' using 1:5 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'calibration-data/test3-simulated.dat' using 1:5 with lines lw 2 lc rgb '#2ca02c' title 'CU400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0, 0.32
set size 0.5, 0.313333
set lmargin at screen 0.0566667
set rmargin at screen 0.348667
set tmargin at screen 0.603333
set bmargin at screen 0.36
set title 'Drained, constant cell pressure (type 3): deviator stress' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'deviator stress q (kPa)'
set xrange [0:*]
set autoscale xfixmax
set key at screen 0.356667, 0.603333 left top Left reverse samplen 2 spacing 1.1 nobox
plot 'calibration-data/test4-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'calibration-data/test4-simulated.dat' using 1:2 with lines lw 2 lc rgb '#1f77b4' title 'CD100 (p''_c 100 kPa)', \
     'calibration-data/test5-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'calibration-data/test5-simulated.dat' using 1:2 with lines lw 2 lc rgb '#d62728' title 'CD200 (p''_c 200 kPa)', \
     'calibration-data/test6-measured.dat' using 1:2 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'calibration-data/test6-simulated.dat' using 1:2 with lines lw 2 lc rgb '#2ca02c' title 'CD400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0.5, 0.32
set size 0.5, 0.313333
set lmargin at screen 0.556667
set rmargin at screen 0.848667
set tmargin at screen 0.603333
set bmargin at screen 0.36
set title 'Drained, constant cell pressure (type 3): volumetric strain' font ',12'
set xlabel 'axial strain ε_a (%)'
set ylabel 'volumetric strain ε_v (%)'
set xrange [0:*]
set autoscale xfixmax
set key at screen 0.856667, 0.603333 left top Left reverse samplen 2 spacing 1.1 nobox
plot 'calibration-data/test4-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#1f77b4' notitle, \
     'calibration-data/test4-simulated.dat' using 1:4 with lines lw 2 lc rgb '#1f77b4' title 'CD100 (p''_c 100 kPa)', \
     'calibration-data/test5-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#d62728' notitle, \
     'calibration-data/test5-simulated.dat' using 1:4 with lines lw 2 lc rgb '#d62728' title 'CD200 (p''_c 200 kPa)', \
     'calibration-data/test6-measured.dat' using 1:4 with points pt 7 ps 0.9 lc rgb '#2ca02c' notitle, \
     'calibration-data/test6-simulated.dat' using 1:4 with lines lw 2 lc rgb '#2ca02c' title 'CD400 (p''_c 400 kPa)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0, 0.00666667
set size 0.5, 0.313333
set lmargin at screen 0.0566667
set rmargin at screen 0.48
set tmargin at screen 0.29
set bmargin at screen 0.0466667
set title 'Convergence of the best error value' font ',12'
set xlabel 'evaluations'
set ylabel 'best error value'
unset key
set logscale y
set format y '10^{%L}'
set arrow from 8925, graph 0 to 8925, graph 1 nohead dt 2 lc rgb '#888888'
set label 'bobyqa' at 8925, graph 0.95 offset 0.5,0 tc rgb '#555555'
plot 'calibration-data/convergence.dat' using 1:2 with steps lw 2 lc rgb '#1f77b4' notitle
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set origin 0.5, 0.00666667
set size 0.5, 0.313333
set lmargin at screen 0.52
set rmargin at screen 0.986667
set tmargin at screen 0.29
set bmargin at screen 0.02
unset border
unset tics
unset grid
unset key
set xrange [0:1]
set yrange [0:1]
set title 'Best parameters' font ',12'
set label 1 'propm     1.2         [0.5, 2]' at graph 0.02, graph 0.95 font 'DejaVu Sans Mono,10'
set label 2 'enu       0.3         fixed' at graph 0.02, graph 0.890625 font 'DejaVu Sans Mono,10'
set label 3 'pkappa    0.02        [0.002, 0.1]' at graph 0.02, graph 0.8312499999999999 font 'DejaVu Sans Mono,10'
set label 4 'plamda    0.12        [0.02, 0.4]' at graph 0.02, graph 0.771875 font 'DejaVu Sans Mono,10'
set label 5 'pnvoid    2.3         [0.5, 3]' at graph 0.02, graph 0.7124999999999999 font 'DejaVu Sans Mono,10'
set label 6 'cohesion  0           fixed' at graph 0.02, graph 0.653125 font 'DejaVu Sans Mono,10'
set label 7 'z         2.2         [0.4, 3]' at graph 0.02, graph 0.59375 font 'DejaVu Sans Mono,10'
set label 8 'chi       0.2         [0, 0.9]' at graph 0.02, graph 0.534375 font 'DejaVu Sans Mono,10'
set label 9 'sm        1.00007     [0, 5]' at graph 0.02, graph 0.475 font 'DejaVu Sans Mono,10'
set label 10 '' at graph 0.02, graph 0.415625 font 'DejaVu Sans Mono,10'
set label 11 'error value   4.51632e-06' at graph 0.02, graph 0.35624999999999996 font 'DejaVu Sans Mono,10'
set label 12 'ErrorObjqz    1.69022e-06' at graph 0.02, graph 0.296875 font 'DejaVu Sans Mono,10'
set label 13 'ErrorObjpz    0' at graph 0.02, graph 0.23750000000000004 font 'DejaVu Sans Mono,10'
set label 14 'ErrorObjev    3.99093e-07' at graph 0.02, graph 0.17812499999999998 font 'DejaVu Sans Mono,10'
set label 15 'ErrorObju     2.427e-06' at graph 0.02, graph 0.11875000000000002 font 'DejaVu Sans Mono,10'
set label 16 'evaluations   9032 in 4.7 s' at graph 0.02, graph 0.059374999999999956 font 'DejaVu Sans Mono,10'
plot NaN notitle
unset multiplot
set output
