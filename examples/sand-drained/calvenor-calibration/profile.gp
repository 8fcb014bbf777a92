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
set title 'propm: [1.254, 1.303], determined' font ',11'
set xlabel 'propm'
set ylabel 'drop of the log-likelihood'
set xrange [1.252560744042747:1.3039985546046815]
set yrange [0:3.8414588206941245]
set arrow from 1.254402676122848, graph 0 to 1.254402676122848, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 1.302959370143074, graph 0 to 1.302959370143074, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile1.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 1.2683877626771884)**2 / (2 * 0.00706563331894686**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'pkappa: [0.01136, 0.01424], determined' font ',11'
set xlabel 'pkappa'
set ylabel 'drop of the log-likelihood'
set xrange [0.011235825010686259:0.014359611390884732]
set yrange [0:3.8414588206941245]
set arrow from 0.011357835475187667, graph 0 to 0.011357835475187667, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 0.014238989044715284, graph 0 to 0.014238989044715284, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile2.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.011803786170722344)**2 / (2 * 0.0010142163572072949**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'plamda: [0.1697, 0.1837], determined' font ',11'
set xlabel 'plamda'
set ylabel 'drop of the log-likelihood'
set xrange [0.1696146267607097:0.18449592171773127]
set yrange [0:3.8414588206941245]
set arrow from 0.16966006090285626, graph 0 to 0.16966006090285626, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 0.18368426135151988, graph 0 to 0.18368426135151988, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile3.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.1770552742392205)**2 / (2 * 0.004428956832446891**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'pnvoid: [2.881, 3), at the upper bound: not determined above' font ',11'
set xlabel 'pnvoid'
set ylabel 'drop of the log-likelihood'
set xrange [2.840226801652621:3]
set yrange [0:3.8414588206941245]
set arrow from 2.8813346110971465, graph 0 to 2.8813346110971465, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile4.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 3)**2 / (2 * 0.19020618850878399**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'z: [2.179, 2.362], determined' font ',11'
set xlabel 'z'
set ylabel 'drop of the log-likelihood'
set xrange [2.1745291815360432:2.3652864135618508]
set yrange [0:3.8414588206941245]
set arrow from 2.178891582995147, graph 0 to 2.178891582995147, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 2.361867892174833, graph 0 to 2.361867892174833, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile5.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 2.2849675790246686)**2 / (2 * 0.035856622561241946**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'chi: [0.5168, 0.562], determined' font ',11'
set xlabel 'chi'
set ylabel 'drop of the log-likelihood'
set xrange [0.514937560304716:0.5623553709781675]
set yrange [0:3.8414588206941245]
set arrow from 0.5167540591914804, graph 0 to 0.5167540591914804, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 0.562003935240672, graph 0 to 0.562003935240672, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile6.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.5314307118433078)**2 / (2 * 0.007363014079728496**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'sm: (0, 0.03162], at the lower bound: not determined below' font ',11'
set xlabel 'sm'
set ylabel 'drop of the log-likelihood'
set xrange [0:0.03335672141431093]
set yrange [0:3.8414588206941245]
set arrow from 0.03161538506374499, graph 0 to 0.03161538506374499, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile7.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0)**2 / (2 * 0.039710382636084444**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
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
set title 'propm: [1.254, 1.303], determined' font ',11'
set xlabel 'propm'
set ylabel 'drop of the log-likelihood'
set xrange [1.252560744042747:1.3039985546046815]
set yrange [0:3.8414588206941245]
set arrow from 1.254402676122848, graph 0 to 1.254402676122848, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 1.302959370143074, graph 0 to 1.302959370143074, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile1.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 1.2683877626771884)**2 / (2 * 0.00706563331894686**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'pkappa: [0.01136, 0.01424], determined' font ',11'
set xlabel 'pkappa'
set ylabel 'drop of the log-likelihood'
set xrange [0.011235825010686259:0.014359611390884732]
set yrange [0:3.8414588206941245]
set arrow from 0.011357835475187667, graph 0 to 0.011357835475187667, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 0.014238989044715284, graph 0 to 0.014238989044715284, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile2.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.011803786170722344)**2 / (2 * 0.0010142163572072949**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'plamda: [0.1697, 0.1837], determined' font ',11'
set xlabel 'plamda'
set ylabel 'drop of the log-likelihood'
set xrange [0.1696146267607097:0.18449592171773127]
set yrange [0:3.8414588206941245]
set arrow from 0.16966006090285626, graph 0 to 0.16966006090285626, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 0.18368426135151988, graph 0 to 0.18368426135151988, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile3.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.1770552742392205)**2 / (2 * 0.004428956832446891**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'pnvoid: [2.881, 3), at the upper bound: not determined above' font ',11'
set xlabel 'pnvoid'
set ylabel 'drop of the log-likelihood'
set xrange [2.840226801652621:3]
set yrange [0:3.8414588206941245]
set arrow from 2.8813346110971465, graph 0 to 2.8813346110971465, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile4.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 3)**2 / (2 * 0.19020618850878399**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'z: [2.179, 2.362], determined' font ',11'
set xlabel 'z'
set ylabel 'drop of the log-likelihood'
set xrange [2.1745291815360432:2.3652864135618508]
set yrange [0:3.8414588206941245]
set arrow from 2.178891582995147, graph 0 to 2.178891582995147, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 2.361867892174833, graph 0 to 2.361867892174833, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile5.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 2.2849675790246686)**2 / (2 * 0.035856622561241946**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'chi: [0.5168, 0.562], determined' font ',11'
set xlabel 'chi'
set ylabel 'drop of the log-likelihood'
set xrange [0.514937560304716:0.5623553709781675]
set yrange [0:3.8414588206941245]
set arrow from 0.5167540591914804, graph 0 to 0.5167540591914804, graph 1 nohead dt 3 lc rgb '#2ca02c'
set arrow from 0.562003935240672, graph 0 to 0.562003935240672, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile6.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0.5314307118433078)**2 / (2 * 0.007363014079728496**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
reset
set grid lc rgb '#dddddd'
set border 3 lw 1.2
set tics nomirror out
set key top center samplen 2 font ',9' opaque box lc rgb '#bbbbbb'
set title 'sm: (0, 0.03162], at the lower bound: not determined below' font ',11'
set xlabel 'sm'
set ylabel 'drop of the log-likelihood'
set xrange [0:0.03335672141431093]
set yrange [0:3.8414588206941245]
set arrow from 0.03161538506374499, graph 0 to 0.03161538506374499, graph 1 nohead dt 3 lc rgb '#2ca02c'
plot 'profile-data/profile7.dat' using 1:2 with linespoints pt 7 ps 0.6 lw 2 lc rgb '#1f77b4' title 'profile', \
     (x - 0)**2 / (2 * 0.039710382636084444**2) with lines dt 2 lc rgb '#7f7f7f' title 'linearised', \
     1.9207294103470622 with lines lw 1.5 lc rgb '#d62728' title 'threshold 1.92 (95 %)'
unset multiplot
set output
