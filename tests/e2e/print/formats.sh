#!/bin/sh
# What the host receives for each print-file-format it asks for, through the
# real daemon, host-sim, cupsd and Debian's cups-filters: PDF whatever the
# application printed, PostScript, or the bytes exactly as printed; and the
# print dialog's options arriving as PPD options.
#   formats.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
. "$(dirname "$0")/lib.sh"
setup
for tool in pdfinfo gs cupstestppd; do
  command -v "$tool" >/dev/null || fail "$tool missing: run scripts/setup"
done
PPD_DIR=${CUPSD_ROOT:-/run/cups-e2e}/conf/ppd

# printers_as <format>: the host's list, asking for <format>.
printers_as() {
  cat > "$WORK/printers.json" <<JSON
{"meta":{"platform":"e2e","print-file-format":"$1"},
 "devices":[{"name":"office","device-id":"1","printer-info":"Office printer",
             "printer-make-and-model":"HP LaserJet 4000"}]}
JSON
}

# send <lp arguments...>: prints, waits for host-sim to hold the whole file,
# and leaves its path in $GOT and the announcement in $ANNOUNCED.
send() {
  before=$(grep -c '^file id=' "$WORK/hostsim.out" || true)
  lp -d office "$@" > /dev/null || fail "lp $* failed"
  wait_for "[ \$(grep -c '^file id=' '$WORK/hostsim.out') -gt $before ]" 90 ||
    fail "nothing reached the host for lp $*; scheduler log: $(tail -n 20 /run/cups-e2e/log/error_log)"
  GOT=$(grep '^file id=' "$WORK/hostsim.out" | tail -n 1 | sed 's/.* path=//')
  ANNOUNCED=$(grep '^announce ' "$WORK/hostsim.out" | tail -n 1)
}

expect_pdf() {
  [ "$(head -c 5 "$GOT")" = "%PDF-" ] || fail "$1 did not reach the host as PDF: $(head -c 16 "$GOT" | od -c | head -2)"
  pdfinfo "$GOT" > "$WORK/pdfinfo" 2>&1 || fail "pdfinfo cannot open what $1 became: $(cat "$WORK/pdfinfo")"
  echo "$ANNOUNCED" | grep -q '"document-format":"application/pdf"' ||
    fail "the announcement of $1 does not say application/pdf: $ANNOUNCED"
}

pages() { pdfinfo "$GOT" | awk '/^Pages:/ { print $2 }'; }

# The documents an application might print.
make_ps() {  # make_ps <file> <pages>
  { echo '%!PS-Adobe-3.0'; echo "%%Pages: $2"; echo '%%EndComments'
    i=1
    while [ "$i" -le "$2" ]; do
      echo "%%Page: $i $i"
      echo "/Helvetica findfont 48 scalefont setfont 72 600 moveto (Page $i) show showpage"
      i=$((i + 1))
    done
    echo '%%EOF'; } > "$1"
}
make_ps "$WORK/one.ps" 1
make_ps "$WORK/two.ps" 2
make_ps "$WORK/four.ps" 4
gs -q -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$WORK/two.pdf" "$WORK/two.ps" || fail "gs made no PDF"
gs -q -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$WORK/four.pdf" "$WORK/four.ps" || fail "gs made no PDF"
gs -q -dBATCH -dNOPAUSE -sDEVICE=png16m -r30 -o "$WORK/photo.png" "$WORK/one.ps" || fail "gs made no PNG"
printf 'Quarterly report\nline two\n' > "$WORK/report.txt"

printers_as pdf
start_hostsim shm
start_daemon
wait_connected
hostsim_cmd discover
wait_for "[ -f '$PPD_DIR/office.ppd' ]" 30 || fail "no PPD queue for office: $(lpstat -v 2>&1)"
grep -q '^\*cupsFilter2: "application/vnd.cups-pdf application/pdf 0 -"' "$PPD_DIR/office.ppd" ||
  fail "the queue's PPD lacks the PDF filter line"
cupstestppd -q "$PPD_DIR/office.ppd" || fail "cupstestppd rejects the queue's PPD"
# The options a print dialog offers (lpoptions -l cannot reach this private
# scheduler over its socket, so they are read from the PPD it serves).
for option in PageSize Duplex ColorModel; do
  grep -q "^\*OpenUI \*$option/" "$PPD_DIR/office.ppd" || fail "the dialog lacks $option"
done

# Whatever the application printed, the host gets a PDF.
for f in report.txt photo.png one.ps two.pdf; do
  send -t "$f" "$WORK/$f"
  expect_pdf "$f"
done

# The dialog's choices reach the host as PPD options; copies stay the host's.
send -n 3 -o media=iso_a5_148x210mm -o sides=two-sided-long-edge -o print-color-mode=monochrome "$WORK/two.pdf"
expect_pdf "two.pdf with options"
echo "$ANNOUNCED" | grep -q '"copies":3' || fail "copies 3 not announced: $ANNOUNCED"
for option in PageSize=A5 Duplex=DuplexNoTumble ColorModel=Gray; do
  echo "$ANNOUNCED" | grep '"job-options":"[^"]*' | grep -q "$option" || fail "$option not in the job's options: $ANNOUNCED"
done
[ "$(pages)" = 2 ] || fail "the host got $(pages) pages instead of 2 (copies must be left to it)"
echo "$ANNOUNCED" > "$WORK/example-announcement"

send -o page-ranges=2-3 -o number-up=2 "$WORK/four.pdf"
expect_pdf "four.pdf, pages 2-3, 2-up"
[ "$(pages)" = 1 ] || fail "pages 2-3 two-up gave $(pages) pages instead of 1"

# PostScript, when the host asks for it.
printers_as ps
hostsim_cmd discover
wait_for "grep -q 'application/postscript 0 -' '$PPD_DIR/office.ppd'" 30 || fail "the queue did not turn PostScript"
send "$WORK/report.txt"
[ "$(head -c 4 "$GOT")" = "%!PS" ] || fail "the text did not reach the host as PostScript: $(head -c 64 "$GOT" | od -c | head -3) $ANNOUNCED"
echo "$ANNOUNCED" | grep -q '"document-format":"application/postscript"' ||
  fail "the announcement does not say application/postscript: $ANNOUNCED"

# No format: the raw queue of old, the bytes exactly as printed.
printers_as ""
hostsim_cmd discover
wait_for "[ ! -f '$PPD_DIR/office.ppd' ]" 30 || fail "the queue kept its PPD"
random_file "$WORK/blob.bin" 70001
for f in report.txt blob.bin photo.png; do
  lp -d office "$WORK/$f" > /dev/null || fail "lp $f failed"
  expect_received "$WORK/$f" 60
done

# The administrator's setting overrides the host's wish.
private_etc
mkdir -p /etc/orvanta
echo 'print_format: pdf' > /etc/orvanta/cups_zefa_service.yaml
kill -TERM "$DAEMON_PID"
wait_for "! kill -0 $DAEMON_PID" 10 || fail "the daemon did not stop"
start_daemon
wait_connected 2
hostsim_cmd discover
wait_for "[ -f '$PPD_DIR/office.ppd' ]" 30 || fail "print_format: pdf made no PDF queue"
send "$WORK/report.txt"
expect_pdf "report.txt with print_format pdf"

grep -q 'using a raw queue' "$LOG" && fail "a queue fell back to raw with the filters present"
if grep -q 'error' "$WORK/hostsim.err"; then
  fail "host-sim saw errors: $(cat "$WORK/hostsim.err")"
fi
daemon_alive || fail "the daemon is gone"
echo "PASS: formats"
