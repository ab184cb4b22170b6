-- Builds the Ardour session of the host matrix (run by ardour7-lua):
--   CALVORINE_CONTROLS="I=V ..." CALVORINE_PRESET=LABEL \
--     ardour7-lua ardour_session.lua FOLDER NAME RATE SECONDS
-- Each I=V sets the plug-in's control I (Ardour's number: its control ports,
-- outputs included, counted from 0 in port order) to V.
-- A mono track with one output (so the master's left channel carries it at
-- unity gain) gets the plug-in and a silent placeholder take of SECONDS,
-- which the test then overwrites with its signal. Three snapshots:
--   NAME     the plug-in on;
--   bypass   the plug-in bypassed with Ardour's own switch;
--   preset   the preset LABEL loaded from Ardour's preset list;
--   stereo   the plug-in on, the track with the usual two panned outputs.
local folder, name, rate, seconds = arg[1], arg[2], tonumber(arg[3]), tonumber(arg[4])
local uri = "https://calvorine.audio/calvorine-suite/utility"
local rolling = ARDOUR.TransportRequestSource.TRS_UI

local function fail(msg)
  print("ardour_session.lua: " .. msg)
  os.exit(1)
end

ARDOUR.config():set_hide_dummy_backend(false)
local s = create_session(folder, name, rate)
if not s then fail("cannot create a session at " .. folder) end
if Session:nominal_sample_rate() ~= rate then fail("session rate " .. Session:nominal_sample_rate()) end

local tracks = Session:new_audio_track(1, 1, nil, 1, "calvorine", ARDOUR.PresentationInfo.max_order,
                                       ARDOUR.TrackMode.Normal, true)
local track = tracks:front()
local plugin = ARDOUR.LuaAPI.new_plugin(Session, uri, ARDOUR.PluginType.LV2, "")
if plugin:isnil() then fail("plug-in not found: " .. uri) end
track:add_processor_by_index(plugin, 0, nil, true)

-- Ardour numbers a plug-in's control ports from 0: level_db is 0, enabled 10.
local values = {}
for i, v in string.gmatch(os.getenv("CALVORINE_CONTROLS") or "", "(%d+)=(%S+)") do
  table.insert(values, {tonumber(i), tonumber(v)})
end
if #values == 0 then fail("CALVORINE_CONTROLS holds no I=V") end
local function set_controls()
  for _, c in ipairs(values) do
    if not ARDOUR.LuaAPI.set_processor_param(plugin, c[1], c[2]) then fail("cannot set control " .. c[1]) end
  end
end
set_controls()

-- Record a silent placeholder take (the dummy backend's input is silence).
track:rec_enable_control():set_value(1, PBD.GroupControlDisposition.NoGroup)
Session:maybe_enable_record(false)
Session:request_roll(rolling)
ARDOUR.LuaAPI.usleep(math.floor(seconds * 1000000))
Session:request_stop(false, false, rolling)
ARDOUR.LuaAPI.usleep(300000)
track:rec_enable_control():set_value(0, PBD.GroupControlDisposition.NoGroup)
-- Nothing but the take may reach the plug-in, or its filters would start
-- from a state the reference does not have.
track:input():disconnect_all(nil)

local takes = 0
for _ in track:playlist():region_list():iter() do takes = takes + 1 end
if takes ~= 1 then fail(takes .. " takes recorded") end

local function param(i) return ARDOUR.LuaAPI.get_processor_param(plugin, i) end
if param(10) ~= 1 then fail("enabled is " .. tostring(param(10)) .. " with the plug-in on") end
Session:save_state("", false, false, false, false, false)

-- Ardour's bypass: with an lv2:enabled port, Ardour keeps running the
-- plug-in and sets that port to 0, instead of taking it out of the chain.
plugin:to_insert():enable(false)
ARDOUR.LuaAPI.usleep(100000)
if param(10) ~= 0 then fail("bypass left enabled at " .. tostring(param(10))) end
if not plugin:active() then fail("bypass deactivated the plug-in instead of using its port") end
Session:save_state("bypass", false, false, false, false, false)

plugin:to_insert():enable(true)
ARDOUR.LuaAPI.usleep(100000)
if param(10) ~= 1 then fail("enabled not restored") end

local label = os.getenv("CALVORINE_PRESET") or ""
local lv2 = plugin:to_insert():plugin(0)
local preset = lv2:preset_by_label(label)
if not preset then fail("Ardour does not list the preset '" .. label .. "'") end
if not lv2:load_preset(preset) then fail("cannot load the preset '" .. label .. "'") end
ARDOUR.LuaAPI.usleep(100000)
Session:save_state("preset", false, false, false, false, false)

set_controls()
local out = track:output()
out:add_port("", nil, ARDOUR.DataType("audio"))
local master = Session:master_out():input()
if out:audio(1):connect(master:audio(1):name()) ~= 0 then fail("cannot connect the second output") end
Session:save_state("stereo", false, false, false, false, false)

print("ardour_session.lua: done")
close_session()
quit()
