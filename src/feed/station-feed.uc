#!/usr/bin/ucode
// station-feed.uc [-i SECONDS] [-l LEVEL] [-k KEYFILE] [-n ROUNDS] [-p CAP] HOST PORT [INTERFACE...]
//
// The service's feed where ucode runs (every OpenWrt Wi-Fi image): one long-lived process that
// learns the clients of every access-point interface (default: every AP and AP/VLAN interface;
// else the named APs and their AP/VLAN interfaces) from the platform itself instead of iw's text:
//   - station facts from nl80211 at the end of each interval (signal, tx bitrate, associated);
//   - hostapd's ubus objects (hostapd.IFNAME), followed as they appear and go: get_clients each
//     interval, and their notifications, so that a client that associates or leaves between two
//     polls is still reported, and probe requests of clients that never associate (-p CAP: at
//     most CAP of them a round, the strongest; 0, the default, reports none).
// Every SECONDS (default 30) it hands one observation per client and BSS, the BSS's address as
// apmac, to one station-send HOST PORT LEVEL (LEVEL default 3): the freshest values of an
// associated client (assoc 1), the strongest signal of a probing one (assoc 0). With -k,
// client MACs become the same keyed pseudonyms as station-feed -k gives. What goes wrong, and
// ubus or hostapd going away and coming back, is said in the system log (tag station-reporter).
// SIGUSR1 ends the current interval at once. -n ends it after ROUNDS rounds, with status 1
// if any failed. Never asks hostapd to wait for it
// (notify_response stays off): a passive listener must not delay a client's association.
'use strict';

import * as fs from 'fs';
import * as uloop from 'uloop';
import * as ubus from 'ubus';
import * as nl80211 from 'nl80211';
import { sha256 } from 'digest';

const USAGE = 'usage: station-feed.uc [-i SECONDS] [-l LEVEL] [-k KEYFILE] [-n ROUNDS] [-p CAP] HOST PORT [INTERFACE...]';
const NL = nl80211.const;
const ASSOCIATED_FLAG = 1 << 7; // NL80211_STA_FLAG_ASSOCIATED
const PROBE_TABLE_MAX = 1024;   // probing clients held an interval, whatever the cap
const RECONNECT_MS = 2000;
const UBUS_STATUS_NOT_FOUND = 4;

let opt = { interval: 30, level: 3, key: null, rounds: 0, cap: 0, only: null };
let conn = null, sub = null, listeners = [];
let objects = {};      // followed hostapd object -> its BSS interface name
let seen = {};         // "APMAC MUMAC" -> what this interval learnt of the client
let known = {};        // the same for the associated clients of the last round
let freqs = {};        // BSS interface -> the frequency hostapd last gave
let probesDropped = 0;
let lastState = {};    // message kind -> last text, so that a lasting fault is said once
let round = 0, failed = false, tmpdir = null;

// The system log through one logger for the process's life: the log module is not on every
// image that has the others.
let logger = null;
function say(text) {
	logger ??= fs.popen('exec logger -t station-reporter', 'w');
	logger?.write(text + '\n');
	logger?.flush();
}

// Says text when it differs from what was last said for kind (null: the fault is over).
function sayOnce(kind, text) {
	if (lastState[kind] != text && text != null)
		say(text);
	lastState[kind] = text;
}

function usage() {
	warn(USAGE + '\n');
	exit(2);
}

function parseArgs(args) {
	let numeric = { '-i': 'interval', '-l': 'level', '-n': 'rounds', '-p': 'cap' };
	while (length(args) && substr(args[0], 0, 1) == '-') {
		let flag = shift(args), value = shift(args);
		if (value == null)
			usage();
		if (numeric[flag]) {
			if (!match(value, /^[0-9]+$/))
				usage();
			opt[numeric[flag]] = +value;
		}
		else if (flag == '-k')
			opt.key = value;
		else
			usage();
	}
	if (length(args) < 2 || !match(args[1], /^[0-9]+$/) || !match(args[0], /^[0-9A-Za-z.:-]+$/))
		usage();
	opt.host = shift(args);
	opt.port = shift(args);
	if (length(args))
		opt.only = args;
	if (opt.key != null) {
		opt.keyBytes = fs.readfile(opt.key);
		if (opt.keyBytes == null) {
			warn(`station-feed.uc: cannot read key file ${opt.key}\n`);
			exit(2);
		}
	}
}

// ---- addresses, channels, pseudonyms ----

function mac12(text) {
	if (type(text) != 'string' || !match(text, /^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$/))
		return null;
	return uc(replace(text, /:/g, ''));
}

function channelOf(freq) {
	if (freq == 2484) return 14;
	if (freq >= 2407 && freq < 2484) return (freq - 2407) / 5;
	if (freq >= 5955 && freq <= 7115) return (freq - 5950) / 5;
	if (freq == 5935) return 2;
	if (freq >= 4910 && freq <= 5895) return (freq - 5000) / 5;
	if (freq >= 58320 && freq <= 70200) return (freq - 56160) / 2160;
	return null;
}

// The first 12 hex digits of SHA-256 over the key and the MAC in lower case, made a locally
// administered unicast address: station-feed -k's pseudonym.
function pseudonym(mu) {
	let h = sha256(opt.keyBytes + lc(mu));
	let first = hex(substr(h, 0, 2));
	return sprintf('%02X', (first | 2) & 254) + uc(substr(h, 2, 10));
}

// ---- what nl80211 knows ----

// Interface name -> { mac, channel, vlan } of every AP and AP/VLAN interface.
function interfaces() {
	let found = {}, list = nl80211.request(NL.NL80211_CMD_GET_INTERFACE, NL.NLM_F_DUMP);
	if (list == null) {
		sayOnce('nl80211', `nl80211: no interfaces (${nl80211.error() ?? 'no reply'})`);
		list = [];
	} else
		sayOnce('nl80211', null);
	for (let i in list) {
		if (i.iftype != NL.NL80211_IFTYPE_AP && i.iftype != NL.NL80211_IFTYPE_AP_VLAN)
			continue;
		found[i.ifname] = { mac: mac12(i.mac), channel: channelOf(i.wiphy_freq),
		                    vlan: i.iftype == NL.NL80211_IFTYPE_AP_VLAN, wiphy: i.wiphy };
	}
	// An AP/VLAN interface without a channel of its own shares its AP's.
	for (let name, i in found)
		if (i.channel == null)
			for (let other, o in found)
				if (!o.vlan && o.mac == i.mac && o.wiphy == i.wiphy)
					i.channel = o.channel;
	return found;
}

// The named APs and the AP/VLAN interfaces that share their address; all without names.
function wanted(ifaces) {
	if (opt.only == null)
		return ifaces;
	let macs = {}, picked = {};
	for (let name in opt.only)
		if (ifaces[name])
			macs[ifaces[name].mac] = true;
	for (let name, i in ifaces)
		if (index(opt.only, name) >= 0 || (i.vlan && macs[i.mac]))
			picked[name] = i;
	return picked;
}

// The BSS address and channel of an interface nl80211 does not list (no Wi-Fi in this
// kernel, or not yet): its netdev address, and the channel hostapd gave.
function bssOf(ifaces, ifname, freq) {
	// disassoc and deauth carry no frequency: the BSS's last known one.
	freq = freqs[ifname] = freq ?? freqs[ifname];
	let i = ifaces[ifname];
	if (i)
		return { mac: i.mac, channel: i.channel ?? channelOf(freq) };
	if (opt.only != null && index(opt.only, ifname) < 0)
		return null;
	let text = fs.readfile(`/sys/class/net/${ifname}/address`);
	let address = mac12(text ? trim(text) : null);
	sayOnce('address ' + ifname, address == null ?
		`${ifname}: no address, its clients are not reported` : null);
	return { mac: address, channel: channelOf(freq) };
}

// ---- what this interval learnt ----

// Records what is known of a client: assoc true for an associated one, values that are
// null stay as they were. Probes keep the strongest signal.
function note(bss, address, assoc, signal, rate) {
	let mu = mac12(address);
	if (bss == null || bss.mac == null || mu == null || bss.channel == null)
		return;
	let k = bss.mac + ' ' + mu, s = seen[k];
	if (s == null) {
		if (!assoc && length(seen) >= PROBE_TABLE_MAX) {
			probesDropped++;
			return;
		}
		s = seen[k] = { ap: bss.mac, mu: mu, channel: bss.channel, assoc: false };
	}
	s.channel = bss.channel;
	if (assoc) {
		if (!s.assoc)
			s.signal = known[k]?.signal;
		s.assoc = true;
		s.signal = signal ?? s.signal;
		s.rate = rate ?? s.rate ?? known[k]?.rate;
	} else if (!s.assoc && signal != null && (s.signal == null || signal > s.signal))
		s.signal = signal;
}

function pollNl80211(ifaces) {
	// Interfaces that come up late (DFS), go or are renamed show here.
	let names = sort(keys(wanted(ifaces)));
	if (length(names))
		sayOnce('interfaces', 'access-point interfaces: ' + join(' ', names));
	for (let name, i in wanted(ifaces)) {
		let stations = nl80211.request(NL.NL80211_CMD_GET_STATION, NL.NLM_F_DUMP, { dev: name });
		// An empty dump is null without an error: an AP whose clients sit on AP/VLANs.
		let error = stations == null ? nl80211.error() : null;
		if (error != null) {
			sayOnce('dump ' + name, `${name}: no station dump (${error})`);
			continue;
		}
		sayOnce('dump ' + name, null);
		for (let st in stations ?? []) {
			let info = st.sta_info ?? {}, flags = info.sta_flags;
			let rate = info.tx_bitrate?.bitrate32 ?? info.tx_bitrate?.bitrate;
			let assoc = type(flags) != 'array' || !(flags[0] & ASSOCIATED_FLAG) ||
			            (flags[1] & ASSOCIATED_FLAG);
			note({ mac: i.mac, channel: i.channel }, st.mac, assoc, info.signal,
			     rate != null ? int(rate / 10) : null);
		}
	}
}

// hostapd's own view: its associated clients with their signal and rate.
function pollHostapd(ifaces) {
	for (let path, ifname in objects) {
		let reply = conn?.call(path, 'get_clients', {});
		if (reply == null)
			continue;
		let bss = bssOf(ifaces, ifname, reply.freq);
		for (let address, c in reply.clients)
			if (c.assoc)
				note(bss, address, true, c.signal, c.rate?.tx != null ? int(c.rate.tx / 1000) : null);
	}
}

function onNotify(ev) {
	let d = ev.data ?? {};
	if (d.ifname == null)
		return;
	let bss = bssOf(interfaces(), d.ifname, d.freq);
	switch (ev.type) {
	case 'probe':
	case 'auth':
		if (opt.cap > 0)
			note(bss, d.address, false, d.signal, null);
		break;
	case 'assoc':
	case 'disassoc':
	case 'deauth':
		// A client seen associated, or leaving, during the interval is reported in it.
		note(bss, d.address, true, d.signal, null);
		break;
	}
}

// ---- ubus: following hostapd ----

// Subscribes to a hostapd.IFNAME object, once; others are not ours.
function follow(path) {
	let m = match(path, /^hostapd\.(.+)$/);
	if (m == null || objects[path] != null)
		return;
	if (sub.subscribe(path)) {
		objects[path] = m[1];
		say(`following ${path}`);
	} else
		say(`cannot subscribe to ${path}: ${ubus.error()}`);
}

function connectUbus() {
	conn = ubus.connect(null, 5);
	if (conn == null)
		return false;
	sub = conn.subscriber(onNotify);
	// ubusd announces every object that comes and goes, hostapd's restarts included.
	listeners = [
		conn.listener('ubus.object.add', (t, d) => follow(d.path)),
		conn.listener('ubus.object.remove', (t, d) => {
			if (objects[d.path] != null)
				say(`${d.path} went away`);
			delete objects[d.path];
		}),
	];
	for (let path in conn.list() ?? [])
		follow(path);
	return true;
}

function dropUbus() {
	conn?.disconnect();
	conn = sub = null;
	listeners = [];
	objects = {};
}

// Every few seconds: connects when ubus is not there, and notices when it went away (ubusd's
// hang-up does not end uloop: the dead socket only fails the next request).
function watchUbus() {
	if (conn == null) {
		if (connectUbus())
			say('ubus is back');
	} else if (conn.list('hostapd.*') == null && ubus.error(true) != UBUS_STATUS_NOT_FOUND) {
		say('ubus went away: stations come from nl80211 alone until it is back');
		dropUbus();
	}
}

// ---- a round ----

function shellQuote(s) {
	return "'" + replace(s, /'/g, "'\\''") + "'";
}

// One line per client and BSS: associated clients all, probing ones up to the cap, strongest
// first. Clears the interval.
function observations(now) {
	let lines = [], probes = [], associated = {};
	for (let k, s in seen)
		if (s.assoc && s.signal != null) {
			push(lines, s);
			associated[s.mu] = true;
		}
	// A client associated with one BSS that probes for others is no passer-by.
	for (let k, s in seen)
		if (!s.assoc && s.signal != null && !associated[s.mu])
			push(probes, s);
	probes = sort(probes, (a, b) => b.signal - a.signal);
	let total = length(probes) + probesDropped;
	if (total > opt.cap && opt.cap > 0)
		say(`round ${round}: ${total} probing clients, ${opt.cap} reported (cap ${opt.cap})`);
	for (let i = 0; i < length(probes) && i < opt.cap; i++)
		push(lines, probes[i]);
	known = {};
	for (let s in lines)
		if (s.assoc)
			known[s.ap + ' ' + s.mu] = { signal: s.signal, rate: s.rate };
	seen = {};
	probesDropped = 0;
	return map(lines, (s) => sprintf('%s,%s,%d,%d,%d,%d,%d\n', s.ap,
		opt.key != null ? pseudonym(s.mu) : s.mu, now, s.signal, s.channel, s.rate ?? 0,
		s.assoc ? 1 : 0));
}

function send(lines) {
	let errors = tmpdir + '/errors';
	let sender = fs.dirname(sourcepath()) + '/station-send';
	let p = fs.popen(sprintf('exec %s %s %s %d >/dev/null 2>%s', shellQuote(sender),
		shellQuote(opt.host), opt.port, opt.level, errors), 'w');
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

function endRound() {
	round++;
	let ifaces = interfaces();
	pollNl80211(ifaces);
	pollHostapd(ifaces);
	if (!send(observations(time()))) {
		say(`round ${round}: the report could not be sent`);
		failed = true;
	}
	if (opt.rounds > 0 && round >= opt.rounds)
		uloop.end();
}

parseArgs(ARGV);
tmpdir = fs.mkdtemp((getenv('TMPDIR') ?? '/tmp') + '/station-feed.XXXXXX');
if (tmpdir == null) {
	warn(`station-feed.uc: no temporary folder: ${fs.error()}\n`);
	exit(1);
}
uloop.init();
uloop.interval(opt.interval * 1000 || 1, endRound);
// SIGUSR1 ends the interval now: a round on demand.
let onDemand = uloop.signal('SIGUSR1', endRound);
say(`reporting to ${opt.host} port ${opt.port} every ${opt.interval}s from nl80211 and hostapd` +
    (opt.cap > 0 ? `, up to ${opt.cap} probing clients a round` : ''));
// A request on a socket ubusd has closed must fail, not end the process.
signal('SIGPIPE', 'ignore');
if (!connectUbus())
	say('ubus is not there: stations come from nl80211 alone until it is');
uloop.interval(RECONNECT_MS, watchUbus);
uloop.run();
fs.rmdir(tmpdir);
logger?.close();
exit(failed ? 1 : 0);
