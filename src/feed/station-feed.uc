#!/usr/bin/ucode
// station-feed.uc [-i SECONDS] [-l LEVEL] [-k KEYFILE] [-n ROUNDS] [-p CAP] HOST PORT [INTERFACE...]
//
// The service's feed where ucode runs with its nl80211 module: one long-lived process that
// learns the clients of every access-point interface (default: every AP and AP/VLAN interface;
// else the named interfaces and the AP/VLAN interfaces of the named APs) from the platform
// itself instead of iw's text:
//   - station facts from nl80211 at the end of each interval (signal, tx bitrate, associated);
//   - hostapd's ubus objects (hostapd.IFNAME), followed as they appear and go: get_clients each
//     interval, and their notifications, so that a client that associates or leaves between two
//     polls is still reported, and probe requests of clients that never associate (-p CAP: at
//     most CAP of them a round, the strongest; 0, the default, reports none).
// Every SECONDS (default 30) it hands one observation per client and BSS, the BSS's address as
// apmac, to one station-send HOST PORT LEVEL (LEVEL default 3), with the same values
// station-feed gives for the same stations: an associated client's freshest values (assoc 1),
// a station that is authenticated but not associated (assoc 0), a probing client's strongest
// signal (assoc 0). With -k, client MACs become the same keyed pseudonyms as station-feed -k
// gives. What goes wrong, and ubus or hostapd going away and coming back, is said in the system
// log (tag station-reporter). SIGUSR1 ends the current interval at once. -n ends it after ROUNDS
// rounds, with status 1 if any failed. Never asks hostapd to wait for it (notify_response stays
// off): a passive listener must not delay a client's association.
//
// One file, in parts (options, log, addresses and channels, pseudonyms, nl80211, the interval's
// table, polling, ubus, the round): the package installs each device script as one program in
// /usr/bin, station-loop starts this one by path and it finds station-send beside itself;
// modules of its own would need a folder on ucode's module search path as well.
'use strict';

import * as fs from 'fs';
import * as uloop from 'uloop';
import * as ubus from 'ubus';
import * as nl80211 from 'nl80211';
import { sha256 } from 'digest';

const USAGE = 'usage: station-feed.uc [-i SECONDS] [-l LEVEL] [-k KEYFILE] [-n ROUNDS] [-p CAP] HOST PORT [INTERFACE...]';
const NL = nl80211.const;
const ASSOCIATED_FLAG = 1 << 7;	// NL80211_STA_FLAG_ASSOCIATED
const PROBE_TABLE_MAX = 1024;	// probing clients held an interval, whatever the cap
const RECONNECT_MS = 2000;
const UBUS_STATUS_NOT_FOUND = 4;

// Channel numbers as the kernel gives them: [first MHz, last MHz, MHz of channel 0, MHz a
// channel]. A frequency outside these is in no band.
const BANDS = [
	[ 2412, 2472, 2407, 5 ],	// 2.4 GHz, channels 1-13
	[ 2484, 2484, 2414, 5 ],	// 2.4 GHz, channel 14
	[ 4910, 4980, 4000, 5 ],	// 4.9 GHz, channels 182-196
	[ 5005, 5925, 5000, 5 ],	// 5 GHz, channels 1-185
	[ 5935, 5935, 5925, 5 ],	// 6 GHz, channel 2
	[ 5955, 7115, 5950, 5 ],	// 6 GHz, channels 1-233
	[ 58320, 70200, 56160, 2160 ],	// 60 GHz, channels 1-6
];

// The command line's settings, fixed once read.
let config = { interval: 30, level: 3, key: null, key_bytes: null, rounds: 0, cap: 0,
               only: null, host: null, port: null };

// Everything that changes while the feed runs.
let state = {
	logger: null,		// the one logger process
	last_said: {},		// message kind -> last text, so that a lasting fault is said once
	conn: null, sub: null, listeners: [],
	objects: {},		// followed hostapd object -> its BSS interface name
	freqs: {},		// BSS interface -> the frequency hostapd last gave
	seen: {},		// "APMAC MUMAC" -> what this interval learnt of the client
	known: {},		// the same for the stations of the last round
	probes_dropped: 0,
	round: 0,
	failed: false,
	tmpdir: null,
};

// ---- options ----

function usage() {
	warn(USAGE + '\n');
	exit(2);
}

function parse_args(args) {
	let numeric = { '-i': 'interval', '-l': 'level', '-n': 'rounds', '-p': 'cap' };
	while (length(args) && substr(args[0], 0, 1) == '-') {
		let flag = shift(args), value = shift(args);
		if (value == null)
			usage();
		if (numeric[flag]) {
			if (!match(value, /^[0-9]+$/))
				usage();
			config[numeric[flag]] = +value;
		}
		else if (flag == '-k')
			config.key = value;
		else
			usage();
	}
	if (length(args) < 2 || !match(args[1], /^[0-9]+$/) || !match(args[0], /^[0-9A-Za-z.:-]+$/))
		usage();
	config.host = shift(args);
	config.port = shift(args);
	if (length(args))
		config.only = args;
	if (config.key != null) {
		config.key_bytes = fs.readfile(config.key);
		if (config.key_bytes == null) {
			warn(`station-feed.uc: cannot read key file ${config.key}\n`);
			exit(2);
		}
	}
}

// ---- the log ----

// The system log through one logger for the process's life: the log module is not on every
// image that has the others.
function say(text) {
	state.logger ??= fs.popen('exec logger -t station-reporter', 'w');
	state.logger?.write(text + '\n');
	state.logger?.flush();
}

// Says text when it differs from what was last said for kind (null: the fault is over).
function say_once(kind, text) {
	if (state.last_said[kind] != text && text != null)
		say(text);
	state.last_said[kind] = text;
}

// ---- addresses and channels ----

function mac12(text) {
	if (type(text) != 'string' || !match(text, /^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$/))
		return null;
	return uc(replace(text, /:/g, ''));
}

function channel_of(freq) {
	for (let b in BANDS)
		if (type(freq) == 'int' && freq >= b[0] && freq <= b[1])
			return int((freq - b[2]) / b[3]);
	return null;
}

// The channel of a BSS's frequency; says once, for its interface, why there is none.
function bss_channel(ifname, freq) {
	let channel = channel_of(freq);
	say_once('channel ' + ifname, channel != null ? null : freq == null ?
		`${ifname}: no channel, its clients are not reported` :
		`${ifname}: frequency ${freq} MHz is in no band, its clients are not reported`);
	return channel;
}

// ---- pseudonyms ----

// The first 12 hex digits of SHA-256 over the key file's bytes and the MAC as 12 lower-case
// hex digits, the first byte made locally administered (bit 1 set) and unicast (bit 0 clear).
function pseudonym(mu) {
	let h = sha256(config.key_bytes + lc(mu));
	return sprintf('%02X', (hex(substr(h, 0, 2)) | 2) & 254) + uc(substr(h, 2, 10));
}

// ---- what nl80211 knows ----

// Interface name -> { ifname, mac, freq, vlan, wiphy } of every AP and AP/VLAN interface.
function interfaces() {
	let found = {}, list = nl80211.request(NL.NL80211_CMD_GET_INTERFACE, NL.NLM_F_DUMP);
	if (list == null) {
		say_once('nl80211', `nl80211: no interfaces (${nl80211.error() ?? 'no reply'})`);
		list = [];
	} else
		say_once('nl80211', null);
	for (let i in list) {
		if (i.iftype != NL.NL80211_IFTYPE_AP && i.iftype != NL.NL80211_IFTYPE_AP_VLAN)
			continue;
		found[i.ifname] = { ifname: i.ifname, mac: mac12(i.mac), freq: i.wiphy_freq,
		                    vlan: i.iftype == NL.NL80211_IFTYPE_AP_VLAN, wiphy: i.wiphy };
	}
	// An AP/VLAN interface without a channel of its own shares its AP's.
	for (let name, i in found)
		if (i.freq == null)
			for (let other, o in found)
				if (!o.vlan && o.mac == i.mac && o.wiphy == i.wiphy)
					i.freq = o.freq;
	return found;
}

// The named interfaces and the AP/VLAN interfaces that share a named AP's address; all
// without names.
function wanted(ifaces) {
	if (config.only == null)
		return ifaces;
	let macs = {}, picked = {};
	for (let name in config.only)
		if (ifaces[name] && !ifaces[name].vlan)
			macs[ifaces[name].mac] = true;
	for (let name, i in ifaces)
		if (index(config.only, name) >= 0 || (i.vlan && macs[i.mac]))
			picked[name] = i;
	return picked;
}

// The BSS { ifname, mac, channel } of an interface hostapd names: nl80211's view of it, else
// (no Wi-Fi in this kernel, or not yet) its netdev address and the channel hostapd gave.
function bss_of(ifaces, ifname, freq) {
	// disassoc and deauth carry no frequency: the BSS's last known one.
	freq = state.freqs[ifname] = freq ?? state.freqs[ifname];
	let i = ifaces[ifname];
	if (i)
		return { ifname, mac: i.mac, channel: bss_channel(ifname, i.freq ?? freq) };
	if (config.only != null && index(config.only, ifname) < 0)
		return null;
	let text = fs.readfile(`/sys/class/net/${ifname}/address`);
	let address = mac12(text ? trim(text) : null);
	say_once('address ' + ifname, address == null ?
		`${ifname}: no address, its clients are not reported` : null);
	return { ifname, mac: address, channel: bss_channel(ifname, freq) };
}

// ---- the interval's table ----

// Records what kind of thing was seen of a client ('probe', 'station': in the station table
// but not associated, 'assoc') and its values; null values stay as they were, and a signal of
// 0 is unknown. A client keeps the strongest kind seen in the interval (assoc, station, probe);
// a probe only ever raises the signal of a probe.
function note(bss, address, kind, signal, rate) {
	let mu = mac12(address);
	if (bss?.mac == null || bss.channel == null || mu == null)
		return;
	let seen = state.seen, key = bss.mac + ' ' + mu, s = seen[key];
	if (s == null) {
		if (kind == 'probe' && length(seen) >= PROBE_TABLE_MAX) {
			state.probes_dropped++;
			return;
		}
		// A station starts from the last round's values.
		let last = kind == 'probe' ? null : state.known[key];
		seen[key] = { ap: bss.mac, mu, address, ifname: bss.ifname, kind, channel: bss.channel,
		              signal: signal || last?.signal, rate: rate ?? last?.rate };
		return;
	}
	s.channel = bss.channel;
	if (kind == 'probe') {
		if (signal && s.kind == 'probe' && (s.signal == null || signal > s.signal))
			s.signal = signal;
		return;
	}
	if (s.kind == 'probe') {
		// A probe's signal is no station's value: start from the last round's.
		let last = state.known[key];
		s.signal = last?.signal;
		s.rate = last?.rate;
	}
	if (kind == 'assoc' || s.kind == 'probe')
		s.kind = kind;
	if (signal)
		s.signal = signal;
	s.rate = rate ?? s.rate;
}

// A client that left: reported in this interval with what is known of it, if anything.
function note_leave(bss, address) {
	let mu = mac12(address);
	if (bss?.mac != null && mu != null && (state.seen[bss.mac + ' ' + mu] ?? state.known[bss.mac + ' ' + mu]))
		note(bss, address, 'assoc', null, null);
}

// ---- polling nl80211 and hostapd ----

function poll_nl80211(ifaces) {
	// Interfaces that come up late (DFS), go or are renamed show here.
	let picked = wanted(ifaces), names = sort(keys(picked));
	if (length(names))
		say_once('interfaces', 'access-point interfaces: ' + join(' ', names));
	for (let name in names) {
		let i = picked[name], bss = { ifname: name, mac: i.mac, channel: bss_channel(name, i.freq) };
		let stations = nl80211.request(NL.NL80211_CMD_GET_STATION, NL.NLM_F_DUMP, { dev: name });
		// An empty dump is null without an error: an AP whose clients sit on AP/VLANs.
		let error = stations == null ? nl80211.error() : null;
		say_once('dump ' + name, error != null ? `${name}: no station dump (${error})` : null);
		for (let st in stations ?? []) {
			let info = st.sta_info ?? {}, flags = info.sta_flags;
			let rate = info.tx_bitrate?.bitrate32 ?? info.tx_bitrate?.bitrate;
			let associated = type(flags) != 'array' || !(flags[0] & ASSOCIATED_FLAG) ||
			                 (flags[1] & ASSOCIATED_FLAG);
			note(bss, st.mac, associated ? 'assoc' : 'station', info.signal,
			     rate != null ? int(rate / 10) : null);
		}
	}
}

// hostapd's own view: its stations with their signal and rate.
function poll_hostapd(ifaces) {
	for (let path, ifname in state.objects) {
		let reply = state.conn?.call(path, 'get_clients', {});
		if (reply == null)
			continue;
		let bss = bss_of(ifaces, ifname, reply.freq);
		for (let address, c in reply.clients)
			note(bss, address, c.assoc ? 'assoc' : 'station', c.signal,
			     c.rate?.tx != null ? int(c.rate.tx / 1000) : null);
	}
}

function on_notify(ev) {
	let d = ev.data ?? {};
	if (d.ifname == null)
		return;
	let bss = bss_of(interfaces(), d.ifname, d.freq);
	switch (ev.type) {
	case 'probe':
	case 'auth':
		if (config.cap > 0)
			note(bss, d.address, 'probe', d.signal, null);
		break;
	case 'assoc':
		// A client seen associated during the interval is reported in it.
		note(bss, d.address, 'assoc', d.signal, null);
		break;
	case 'disassoc':
	case 'deauth':
		note_leave(bss, d.address);
		break;
	}
}

// ---- ubus: following hostapd ----

// Subscribes to a hostapd.IFNAME object, once; others are not ours.
function follow(path) {
	let m = match(path, /^hostapd\.(.+)$/);
	if (m == null || state.objects[path] != null)
		return;
	if (state.sub.subscribe(path)) {
		state.objects[path] = m[1];
		say(`following ${path}`);
	} else
		say(`cannot subscribe to ${path}: ${ubus.error()}`);
}

function connect_ubus() {
	state.conn = ubus.connect(null, 5);
	if (state.conn == null)
		return false;
	state.sub = state.conn.subscriber(on_notify);
	// ubusd announces every object that comes and goes, hostapd's restarts included.
	state.listeners = [
		state.conn.listener('ubus.object.add', (t, d) => follow(d.path)),
		state.conn.listener('ubus.object.remove', (t, d) => {
			if (state.objects[d.path] != null)
				say(`${d.path} went away`);
			delete state.objects[d.path];
		}),
	];
	for (let path in state.conn.list() ?? [])
		follow(path);
	return true;
}

function drop_ubus() {
	state.conn?.disconnect();
	state.conn = state.sub = null;
	state.listeners = [];
	state.objects = {};
}

// Every few seconds: connects when ubus is not there, and notices when it went away (ubusd's
// hang-up does not end uloop: the dead socket only fails the next request).
function watch_ubus() {
	if (state.conn == null) {
		if (connect_ubus())
			say('ubus is back');
	} else if (state.conn.list('hostapd.*') == null && ubus.error(true) != UBUS_STATUS_NOT_FOUND) {
		say('ubus went away: stations come from nl80211 alone until it is back');
		drop_ubus();
	}
}

// ---- a round ----

// One line per client and BSS: every station with a signal, probing ones up to the cap,
// strongest first; a station without one is said. Clears the interval.
function observations(now) {
	let lines = [], probes = [], stations = {};
	for (let key, s in state.seen) {
		if (s.kind == 'probe')
			continue;
		stations[s.mu] = true;
		if (s.signal != null)
			push(lines, s);
		else
			say(`${s.ifname}: station ${s.address}: no signal, skipped`);
	}
	// A client that is a station of one BSS and probes for others is no passer-by.
	for (let key, s in state.seen)
		if (s.kind == 'probe' && s.signal != null && !stations[s.mu])
			push(probes, s);
	probes = sort(probes, (a, b) => b.signal - a.signal);
	let total = length(probes) + state.probes_dropped;
	if (total > config.cap && config.cap > 0)
		say(`round ${state.round}: ${total} probing clients, ${config.cap} reported (cap ${config.cap})`);
	for (let i = 0; i < length(probes) && i < config.cap; i++)
		push(lines, probes[i]);
	state.known = {};
	for (let s in lines)
		if (s.kind != 'probe')
			state.known[s.ap + ' ' + s.mu] = { signal: s.signal, rate: s.rate };
	state.seen = {};
	state.probes_dropped = 0;
	return map(lines, (s) => sprintf('%s,%s,%d,%d,%d,%d,%d\n', s.ap,
		config.key != null ? pseudonym(s.mu) : s.mu, now, s.signal, s.channel, s.rate ?? 0,
		s.kind == 'assoc' ? 1 : 0));
}

function shell_quote(s) {
	return "'" + replace(s, /'/g, "'\\''") + "'";
}

function send(lines) {
	let errors = state.tmpdir + '/errors';
	let sender = fs.dirname(sourcepath()) + '/station-send';
	let p = fs.popen(sprintf('exec %s %s %s %d >/dev/null 2>%s', shell_quote(sender),
		shell_quote(config.host), config.port, config.level, errors), 'w');
	if (p == null)
		return false;
	p.write(join('', lines));
	let status = p.close();
	for (let line in split(trim(fs.readfile(errors) ?? ''), '\n'))
		if (line != '')
			say(line);
	fs.unlink(errors);
	return status == 0;
}

function end_round() {
	state.round++;
	let ifaces = interfaces();
	poll_nl80211(ifaces);
	poll_hostapd(ifaces);
	if (!send(observations(time()))) {
		say(`round ${state.round}: the report could not be sent`);
		state.failed = true;
	}
	if (config.rounds > 0 && state.round >= config.rounds)
		uloop.end();
}

parse_args(ARGV);
state.tmpdir = fs.mkdtemp((getenv('TMPDIR') ?? '/tmp') + '/station-feed.XXXXXX');
if (state.tmpdir == null) {
	warn(`station-feed.uc: no temporary folder: ${fs.error()}\n`);
	exit(1);
}
uloop.init();
uloop.interval(config.interval * 1000 || 1, end_round);
// SIGUSR1 ends the interval now: a round on demand.
let on_demand = uloop.signal('SIGUSR1', end_round);
say(`reporting to ${config.host} port ${config.port} every ${config.interval}s from nl80211 and hostapd` +
    (config.cap > 0 ? `, up to ${config.cap} probing clients a round` : ''));
// A request on a socket ubusd has closed must fail, not end the process.
signal('SIGPIPE', 'ignore');
if (!connect_ubus())
	say('ubus is not there: stations come from nl80211 alone until it is');
uloop.interval(RECONNECT_MS, watch_ubus);
uloop.run();
fs.rmdir(state.tmpdir);
state.logger?.close();
exit(state.failed ? 1 : 0);
