#!/usr/bin/env bash
# Private MariaDB server for the render-farm queue of this machine root.
#
#   scripts/queue_db.sh start   start a server for $VOXA_ROOT (data, socket and
#                               log under $VOXA_ROOT/mariadb/), create the queue
#                               database, its tables and the default accounts,
#                               write $VOXA_ROOT/VOXA_DEFAULT_SQL_QUEUE.txt, and
#                               return once the server answers
#   scripts/queue_db.sh stop    stop that server
#   scripts/queue_db.sh status  say whether it runs (exit 0) or not (exit 1)
#
# Environment: VOXA_ROOT (default $HOME/.voxa), VOXA_QUEUE_PORT (TCP port on
# 127.0.0.1, default 3307), VOXA_QUEUE_DATABASE (default VOXA_PROJECTS),
# VOXA_QUEUE_USER / VOXA_QUEUE_PASSWORD (the account written into the
# settings file, default ops / plum).
#
# Commits are written to the log at once but flushed to disk about once a
# second (innodb_flush_log_at_trx_commit=2): a claim or finish costs well
# under a millisecond instead of a disk flush, and what an operating-system
# crash can lose is the last second's marks (such frames are rendered again).
#
# The server never runs as a system service and needs no root privileges;
# when this script runs as root the server is told to run as root too.
set -euo pipefail

root="${VOXA_ROOT:-$HOME/.voxa}"
dir="$root/mariadb"
data="$dir/data"
sock="$dir/mysqld.sock"
pidf="$dir/mysqld.pid"
log="$dir/mysqld.log"
port="${VOXA_QUEUE_PORT:-3307}"
db="${VOXA_QUEUE_DATABASE:-VOXA_PROJECTS}"
user="${VOXA_QUEUE_USER:-ops}"
password="${VOXA_QUEUE_PASSWORD:-plum}"
settings="$root/VOXA_DEFAULT_SQL_QUEUE.txt"

die() { echo "queue_db: $*" >&2; exit 1; }

running() {
  [ -f "$pidf" ] && kill -0 "$(cat "$pidf")" 2>/dev/null
}

client() {
  mariadb --no-defaults --socket="$sock" -u root "$@"
}

# The tables of the queue: the movie list, the files each host holds, and
# the tables of the file-job daemon. A movie's frame table is made by the
# tool that authors the movie.
schema() {
  cat <<SQL
CREATE DATABASE IF NOT EXISTS \`$db\`;
USE \`$db\`;
CREATE TABLE IF NOT EXISTS VOXA_Movies (number int not null primary key auto_increment,
  name varchar(255), options blob, frusta blob, destinations blob, status varchar(255));
CREATE TABLE IF NOT EXISTS Files (number int not null primary key auto_increment,
  host varchar(255), mount varchar(255), dir varchar(255), name varchar(255),
  KEY host_name (host, name));
CREATE TABLE IF NOT EXISTS FileJobs (number int not null primary key auto_increment,
  status varchar(255), priority int, action varchar(255), name varchar(255),
  source varchar(255), destination varchar(255), started timestamp, finished timestamp);
CREATE TABLE IF NOT EXISTS FileHosts (number int not null primary key auto_increment,
  host varchar(255), request varchar(255), space int);
CREATE USER IF NOT EXISTS '$user'@'localhost' IDENTIFIED BY '$password';
CREATE USER IF NOT EXISTS '$user'@'127.0.0.1' IDENTIFIED BY '$password';
CREATE USER IF NOT EXISTS '$user'@'%' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON \`$db\`.* TO '$user'@'localhost', '$user'@'127.0.0.1', '$user'@'%';
FLUSH PRIVILEGES;
SQL
}

start() {
  command -v mariadbd >/dev/null 2>&1 || PATH="$PATH:/usr/sbin"
  command -v mariadbd >/dev/null 2>&1 || die "mariadbd not found (run scripts/setup.sh)"
  mkdir -p "$dir"
  if running; then
    echo "queue_db: already running (pid $(cat "$pidf"), socket $sock)"
  else
    local as_root=()
    [ "$(id -u)" -eq 0 ] && as_root=(--user=root)
    if [ ! -d "$data/mysql" ]; then
      mariadb-install-db --no-defaults --datadir="$data" "${as_root[@]}" \
        --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1 ||
        { cat "$dir/install.log" >&2; die "mariadb-install-db failed"; }
    fi
    mariadbd --no-defaults --datadir="$data" --socket="$sock" --pid-file="$pidf" \
      --port="$port" --bind-address=127.0.0.1 --skip-networking=0 --log-error="$log" \
      --skip-log-bin --innodb-buffer-pool-size=32M --max-connections=200 \
      --innodb-flush-log-at-trx-commit=2 \
      "${as_root[@]}" >/dev/null 2>&1 &
    local tries=0
    until client -e "SELECT 1" >/dev/null 2>&1; do
      tries=$((tries + 1))
      if [ "$tries" -gt 300 ]; then
        tail -n 20 "$log" >&2 || true
        die "the server did not answer within 30 s (log: $log)"
      fi
      sleep 0.1
    done
  fi
  schema | client || die "could not create the queue database"
  printf '%s %s %s %s\n' 127.0.0.1 "$user" "$password" "$port" >"$settings"
  echo "queue_db: running on 127.0.0.1:$port and $sock; database $db; settings $settings"
}

stop() {
  if ! running; then
    echo "queue_db: not running"
    return 0
  fi
  local pid
  pid=$(cat "$pidf")
  kill "$pid"
  local tries=0
  while kill -0 "$pid" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -gt 600 ] && die "server $pid did not stop within 60 s"
    sleep 0.1
  done
  echo "queue_db: stopped"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status)
    if running; then
      echo "queue_db: running (pid $(cat "$pidf"), 127.0.0.1:$port, socket $sock)"
    else
      echo "queue_db: not running"
      exit 1
    fi
    ;;
  -h|--help|help)
    sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'
    ;;
  *)
    echo "usage: $0 start|stop|status" >&2
    exit 2
    ;;
esac
