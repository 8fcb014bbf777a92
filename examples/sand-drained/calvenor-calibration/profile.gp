# Drawn by calvenor; to redraw, run `gnuplot profile.gp` in this folder.
set encoding utf8
if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {
  set terminal pngcairo size 1560,1260 enhanced font 'DejaVu Sans,10' background rgb 'white'
} else {
  set terminal png size 1560,1260 enhanced font 'DejaVu Sans,10' background rgb 'white'
}
set output 'profile.png'
set multiplot layout 3,3 title 'Profile likelihood, examples/sand-drained (points: re-optimised fits; red: the threshold of the 95 % interval; dashed: the linearised parabola)' font ',14'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'propm: [1.254, 1.293], determined' font ',11'
set xlabel 'propm'
set ylabel 'drop of the log-likelihood'
set xrange [1.2440529657284722:1.3019969987186635]
set yrange [0:4.900773034248312]
set arrow from 1.2540994632984923, graph 0 to 1.2540994632984923, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 1.2929946127489447, graph 0 to 1.2929946127489447, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile1.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 1.2672305789245488)**2 / (2 * 0.041388594992993855**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'pkappa: (0.01186, 0.01428], not determined below (up to the edge of the admissible region)' font ',11'
set xlabel 'pkappa'
set ylabel 'drop of the log-likelihood'
set xrange [0.01184510827196038:0.014489322730797524]
set yrange [0:3.8414588206941245]
set arrow from 0.014276807704426485, graph 0 to 0.014276807704426485, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile2.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.011863344233745462)**2 / (2 * 0.001042054959147643**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'plamda: [0.1696, 0.1811], determined' font ',11'
set xlabel 'plamda'
set ylabel 'drop of the log-likelihood'
set xrange [0.1695549075837059:0.18214597945916255]
set yrange [0:3.8414588206941245]
set arrow from 0.16956249432596765, graph 0 to 0.16956249432596765, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 0.18110609023030286, graph 0 to 0.18110609023030286, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile3.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.177948955500677)**2 / (2 * 0.007494685640152763**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'pnvoid: [2.88, 3), at the upper bound: not determined above' font ',11'
set xlabel 'pnvoid'
set ylabel 'drop of the log-likelihood'
set xrange [2.842329518681642:3]
set yrange [0:3.8414588206941245]
set arrow from 2.880254157971361, graph 0 to 2.880254157971361, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile4.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 3)**2 / (2 * 0.1877029539504263**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'z: [2.176, 2.303], determined' font ',11'
set xlabel 'z'
set ylabel 'drop of the log-likelihood'
set xrange [2.1511567001204943:2.319030383044646]
set yrange [0:5.18303757849443]
set arrow from 2.1763340911872326, graph 0 to 2.1763340911872326, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 2.30324127202211, graph 0 to 2.30324127202211, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile5.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 2.277061962313608)**2 / (2 * 0.14988721689656379**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'chi: [0.5166, 0.5471], determined' font ',11'
set xlabel 'chi'
set ylabel 'drop of the log-likelihood'
set xrange [0.5098112286759522:0.5493200284131761]
set yrange [0:4.08533354179084]
set arrow from 0.516599435064199, graph 0 to 0.516599435064199, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 0.5471246971458578, graph 0 to 0.5471246971458578, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile6.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.5295656285445641)**2 / (2 * 0.035275714051092866**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'sm: (0, 0.02865], at the lower bound: not determined below' font ',11'
set xlabel 'sm'
set ylabel 'drop of the log-likelihood'
set xrange [0:0.03336255206385451]
set yrange [0:3.8414588206941245]
set arrow from 0.028645329514970327, graph 0 to 0.028645329514970327, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile7.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0)**2 / (2 * 0.03971732388554108**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
unset multiplot
set output
set terminal svg size 1560,1260 enhanced font 'DejaVu Sans,10' background rgb 'white'
set output 'profile.svg'
set multiplot layout 3,3 title 'Profile likelihood, examples/sand-drained (points: re-optimised fits; red: the threshold of the 95 % interval; dashed: the linearised parabola)' font ',14'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'propm: [1.254, 1.293], determined' font ',11'
set xlabel 'propm'
set ylabel 'drop of the log-likelihood'
set xrange [1.2440529657284722:1.3019969987186635]
set yrange [0:4.900773034248312]
set arrow from 1.2540994632984923, graph 0 to 1.2540994632984923, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 1.2929946127489447, graph 0 to 1.2929946127489447, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile1.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 1.2672305789245488)**2 / (2 * 0.041388594992993855**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'pkappa: (0.01186, 0.01428], not determined below (up to the edge of the admissible region)' font ',11'
set xlabel 'pkappa'
set ylabel 'drop of the log-likelihood'
set xrange [0.01184510827196038:0.014489322730797524]
set yrange [0:3.8414588206941245]
set arrow from 0.014276807704426485, graph 0 to 0.014276807704426485, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile2.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.011863344233745462)**2 / (2 * 0.001042054959147643**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'plamda: [0.1696, 0.1811], determined' font ',11'
set xlabel 'plamda'
set ylabel 'drop of the log-likelihood'
set xrange [0.1695549075837059:0.18214597945916255]
set yrange [0:3.8414588206941245]
set arrow from 0.16956249432596765, graph 0 to 0.16956249432596765, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 0.18110609023030286, graph 0 to 0.18110609023030286, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile3.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.177948955500677)**2 / (2 * 0.007494685640152763**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'pnvoid: [2.88, 3), at the upper bound: not determined above' font ',11'
set xlabel 'pnvoid'
set ylabel 'drop of the log-likelihood'
set xrange [2.842329518681642:3]
set yrange [0:3.8414588206941245]
set arrow from 2.880254157971361, graph 0 to 2.880254157971361, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile4.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 3)**2 / (2 * 0.1877029539504263**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'z: [2.176, 2.303], determined' font ',11'
set xlabel 'z'
set ylabel 'drop of the log-likelihood'
set xrange [2.1511567001204943:2.319030383044646]
set yrange [0:5.18303757849443]
set arrow from 2.1763340911872326, graph 0 to 2.1763340911872326, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 2.30324127202211, graph 0 to 2.30324127202211, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile5.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 2.277061962313608)**2 / (2 * 0.14988721689656379**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'chi: [0.5166, 0.5471], determined' font ',11'
set xlabel 'chi'
set ylabel 'drop of the log-likelihood'
set xrange [0.5098112286759522:0.5493200284131761]
set yrange [0:4.08533354179084]
set arrow from 0.516599435064199, graph 0 to 0.516599435064199, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 0.5471246971458578, graph 0 to 0.5471246971458578, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile6.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.5295656285445641)**2 / (2 * 0.035275714051092866**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'sm: (0, 0.02865], at the lower bound: not determined below' font ',11'
set xlabel 'sm'
set ylabel 'drop of the log-likelihood'
set xrange [0:0.03336255206385451]
set yrange [0:3.8414588206941245]
set arrow from 0.028645329514970327, graph 0 to 0.028645329514970327, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile7.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0)**2 / (2 * 0.03971732388554108**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
unset multiplot
set output
