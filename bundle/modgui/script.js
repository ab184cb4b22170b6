function (event, funcs) {
    // MOD evaluates this file as one function and calls it with the face's
    // events. It shows hum_freq, the mains frequency the hum filter follows
    // (modgui.ttl asks MOD to monitor it), in the readout under the hum
    // filter's switches: 0 means not tracking. The readout is found by an
    // attribute, since MOD suffixes every class.
    function show(value) {
        var icon = event.icon && event.icon[0];
        var field = icon && icon.querySelector('[data-cu-output="hum_freq"]');
        if (!field) {
            return;
        }
        var tracking = value > 0;
        field.textContent = tracking ? value.toFixed(2) + ' Hz' : '--.-- Hz';
        field.classList.toggle('on', tracking);
    }
    if (event.type === 'start') {
        for (var i = 0; i < event.ports.length; i++) {
            if (event.ports[i].symbol === 'hum_freq') {
                show(event.ports[i].value);
            }
        }
    } else if (event.type === 'change' && event.symbol === 'hum_freq') {
        show(event.value);
    }
}
