#!/usr/bin/env bash
# Draws the copy benchmark (median seconds until the launcher is started again, of the updater's whole run
# with its clean-up after that start, and of cp -a + sync -f, per tree) as a PNG.
#   bench/plot_copy.sh <copy.csv> [<output.png>]     (default output: docs/copy_benchmark.png)
set -euo pipefail

csv="${1:?usage: plot_copy.sh <copy.csv> [<output.png>]}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${2:-$here/../docs/copy_benchmark.png}"
command -v gnuplot >/dev/null || { echo "gnuplot is missing (scripts/install-deps.sh installs gnuplot-nox)" >&2; exit 1; }

gnuplot <<GNUPLOT
set terminal pngcairo size 900,600 font "DejaVu Sans,11"
set output "$out"
set datafile separator ","
set title "Applying a staged update: QORLauncherUpdater against cp -a + sync -f (median of alternating runs)"
set ylabel "seconds, log scale (lower is better)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
# Fresh installations take hundredths of a second against cp's seconds: only a log scale shows both.
set logscale y
set yrange [0.01:100]
set bmargin 7
set grid ytics
set key top left
set xtics nomirror rotate by -25
plot "$csv" using 9:xtic(1) skip 1 title "QORLauncherUpdater: until the launcher runs again" linecolor rgb "#2f6db5", \
     "" using 5 skip 1 title "QORLauncherUpdater: whole run, clean-up included" linecolor rgb "#8fb3e0", \
     "" using 6 skip 1 title "cp -a + sync -f" linecolor rgb "#b0b0b0", \
     "" using (\$0 - 0.3):(\$9):(sprintf("%.3fx", \$10)) skip 1 with labels offset 0,0.8 notitle
GNUPLOT
echo "written to $out"
