# Median install times per payload and contender, on a logarithmic scale so that a 1 ms copy and a
# 2 s compressed install both read. bench/report.py passes data (a table with a header row), out and n,
# the number of contenders (the data's columns after the first).
set terminal pngcairo size 1400,600 font "DejaVu Sans,11"
set output out
set title "Installing a price-list database under Wine (median of the runs, lower is better)"
set ylabel "milliseconds"
set logscale y
set yrange [0.5:*]
set grid ytics mytics
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key outside right top autotitle columnheader
set xtics nomirror
plot for [i=2:n + 1] data using i:xtic(1), \
     for [i=2:n + 1] data using ($0 + (i - 2 - (n - 1) / 2.0) / (n + 1.0)):i:(sprintf(column(i) < 100 ? "%.1f" : "%.0f", column(i))) \
         with labels offset 0,0.6 font ",8" notitle
