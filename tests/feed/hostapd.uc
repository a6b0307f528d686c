// Stand-in for hostapd's ubus side on a machine without radios: one hostapd.IFNAME object per
// BSS named on the command line (IFNAME:FREQ ...), with hostapd's get_clients reply and its
// probe, assoc and disassoc notifications in hostapd's own shapes, sent only while the object
// has a subscriber, as hostapd does. The test drives it through the object test.hostapd:
//   clients {ifname, clients: {MAC: {signal, rate (Mbit/s), assoc}}}   what get_clients shows
//   event {ifname, type, address, signal}                                one notification
//   add {ifname, freq} / remove {ifname}                                 a BSS comes or goes
//   status {}                                                            {notify_response: calls}
// Like hostapd, it connects again when ubusd comes back.
'use strict';

import * as ubus from 'ubus';
import * as uloop from 'uloop';

let bss = {}, conn = null, notifyResponseCalls = 0;

function clientShape(c) {
	return {
		auth: true, assoc: c.assoc ?? true, authorized: c.assoc ?? true, preauth: false,
		wds: false, wmm: true, ht: true, vht: false, he: false, wps: false, mfp: false,
		rrm: [0, 0, 0, 0, 0], extended_capabilities: [0, 0, 0, 0, 0, 0, 0, 64], aid: 1,
		bytes: { rx: 1933667, tx: 746805 }, airtime: { rx: 1200, tx: 3400 },
		packets: { rx: 812, tx: 640 }, rate: { rx: 54000, tx: (c.rate ?? 0) * 1000 },
		signal: c.signal,
	};
}

function publish(ifname) {
	let b = bss[ifname];
	b.obj = conn.publish('hostapd.' + ifname, {
		get_clients: {
			call: function(req) {
				let clients = {};
				for (let mac, c in b.clients)
					clients[mac] = clientShape(c);
				return { freq: b.freq, clients: clients };
			},
			args: {},
		},
		notify_response: {
			call: function(req) { notifyResponseCalls++; return 0; },
			args: { notify_response: 0 },
		},
	});
}

// hostapd_ubus_handle_event's and hostapd_ubus_notify's messages.
function notification(b, ifname, e) {
	if (e.type == 'disassoc' || e.type == 'deauth')
		return { address: e.address, ifname: ifname };
	let msg = { address: e.address, ifname: ifname, target: e.target ?? 'ff:ff:ff:ff:ff:ff' };
	if (e.signal)
		msg.signal = e.signal;
	msg.freq = b.freq;
	if (e.type == 'probe')
		msg.ht_capabilities = {
			ht_capabilities_info: 6639,
			supported_mcs_set: { a_mpdu_params: 27, ht_extended_capabilities: 0,
			                     tx_bf_capability_info: 0, asel_capabilities: 0,
			                     supported_mcs_set: [255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0] },
		};
	return msg;
}

function control() {
	conn.publish('test.hostapd', {
		clients: { call: (req) => { bss[req.args.ifname].clients = req.args.clients; return 0; },
		           args: { ifname: '', clients: {} } },
		event: {
			call: function(req) {
				let b = bss[req.args.ifname];
				if (b.obj.subscribed())
					b.obj.notify(req.args.type, notification(b, req.args.ifname, req.args));
				return 0;
			},
			args: { ifname: '', type: '', address: '', signal: 0, target: '' },
		},
		add: { call: (req) => { bss[req.args.ifname] = { freq: req.args.freq, clients: {} };
		                        publish(req.args.ifname); return 0; },
		       args: { ifname: '', freq: 0 } },
		remove: { call: (req) => { bss[req.args.ifname].obj.remove(); delete bss[req.args.ifname];
		                           return 0; },
		          args: { ifname: '' } },
		status: { call: (req) => ({ notify_response: notifyResponseCalls }), args: {} },
	});
}

for (let a in ARGV) {
	let m = match(a, /^(.+):([0-9]+)$/);
	bss[m[1]] = { freq: +m[2], clients: {} };
}
uloop.init();
signal('SIGPIPE', 'ignore');
// ubusd's hang-up does not end uloop: a request that fails tells.
uloop.interval(200, () => { if (conn?.list('test.hostapd') == null) uloop.end(); });
while (true) {
	conn = ubus.connect();
	if (conn) {
		for (let ifname in bss)
			publish(ifname);
		control();
		if (uloop.run())
			break;
		conn.disconnect();
	}
	conn = null;
	sleep(100);
}
