-- Tessel stereo in a headless Ardour session (ardour7-lua, dummy backend playing a -18 dBFS sine
-- into the track), driven by ardour-test.sh, which computes the expected latencies with
-- `tessel latency`.
--   create FOLDER DEFAULT_LATENCY LATENCY NAME=VALUE...
--     makes the session "tessel" in FOLDER with a stereo track monitoring its input and Tessel
--     on it; checks the latency Ardour reports for the plug-in as inserted, and that it does not
--     reduce the gain; sets the parameters (by their names, as Ardour labels them); checks that
--     they read back, that the latency becomes LATENCY and that the plug-in now reduces the
--     gain; saves and closes.
--   reload FOLDER LATENCY NAME=VALUE...
--     loads the session, finds Tessel on its track, and checks the parameters, LATENCY and the
--     gain reduction.
-- Each failed check prints one line "FAIL: ..."; the run then ends in an error (exit status 1).

local mode, folder = arg[1], arg[2]
local uri = "urn:tessel:stereo"
local failures = 0
local seen = {} -- what the checks measured, printed on one line at the end

local function check(ok, message)
  if not ok then
    print("FAIL: " .. message)
    failures = failures + 1
  end
end

-- NAME=VALUE arguments from index first on.
local function settings(first)
  local list = {}
  for i = first, #arg do
    local name, value = arg[i]:match("^(.-)=(.*)$")
    list[#list + 1] = { name = name, value = tonumber(value) }
  end
  return list
end

-- The number LuaAPI's parameter calls take for each control port, by label: they count every
-- control port, inputs and outputs, in port order.
local function controlNumbers(proc)
  local plugin, byName, n = proc:to_insert():plugin(0), {}, 0
  for j = 0, plugin:parameter_count() - 1 do
    if plugin:parameter_is_control(j) then
      byName[plugin:parameter_label(j)] = n
      n = n + 1
    end
  end
  return byName
end

local function read(proc, name)
  return ARDOUR.LuaAPI.get_processor_param(proc, controlNumbers(proc)[name], true)
end

-- Runs the engine until done() holds or 10 s pass; returns whether it held.
local function runUntil(done)
  for _ = 1, 100 do
    ARDOUR.LuaAPI.wait_for_process_callback(4, 1000)
    if done() then return true end
    ARDOUR.LuaAPI.usleep(100000)
  end
  return false
end

-- The plug-in announces a new latency from its next cycle, and Ardour then recomputes its own:
-- both the insert and its track must come to report it.
local function checkLatency(proc, route, expected, when)
  local insert, track
  runUntil(function()
    insert, track = proc:to_insert():signal_latency(), route:signal_latency()
    return insert == expected and track == expected
  end)
  seen[#seen + 1] = string.format("%s: latency %d", when, insert)
  check(insert == expected and track == expected,
        string.format("%s: expected latency %d, Ardour reports %d for the plug-in and %d for its"
                      .. " track", when, expected, insert, track))
end

-- With band 1 enabled at -30 dB and a 12 dB deeper range, the -18 dBFS sine is compressed: more
-- than 1 dB of reduction once the envelope has settled. With no band in use there is none.
local function checkReduction(proc, reducing, when)
  local db
  local held = runUntil(function()
    db = read(proc, "Gain Reduction")
    return (db < -1) == reducing
  end)
  seen[#seen + 1] = string.format("%s: gain change %.1f dB", when, db)
  check(held, string.format("%s: expected %s, the plug-in reports %g dB of gain change", when,
                            reducing and "gain reduction below -1 dB" or "no gain reduction", db))
end

local function checkValues(proc, list, when)
  local byName = controlNumbers(proc)
  for _, s in ipairs(list) do
    if byName[s.name] == nil then
      check(false, when .. ": no parameter labelled \"" .. s.name .. "\"")
    else
      local value = read(proc, s.name)
      check(math.abs(value - s.value) < 1e-4,
            string.format("%s: %s expected %g, reads %g", when, s.name, s.value, value))
    end
  end
end

local function finish()
  print("seen: " .. table.concat(seen, ", "))
  close_session()
  if failures > 0 then error(failures .. " check(s) failed", 0) end
end

AudioEngine:set_backend("None (Dummy)", "", ""):set_device_name("Sine Wave")

if mode == "create" then
  local session = create_session(folder, "tessel", 48000)
  assert(session, "could not create a session in " .. folder)
  local route = session:new_audio_track(2, 2, nil, 1, "Tessel test",
                                        ARDOUR.PresentationInfo.max_order,
                                        ARDOUR.TrackMode.Normal, true):front()
  route:to_track():monitoring_control():set_value(ARDOUR.MonitorChoice.MonitorInput,
                                                  PBD.GroupControlDisposition.NoGroup)
  local proc = ARDOUR.LuaAPI.new_plugin(session, uri, ARDOUR.PluginType.LV2, "")
  assert(not proc:isnil(), "Ardour found no LV2 plug-in " .. uri)
  assert(route:add_processor_by_index(proc, 0, nil, true) == 0, "could not insert " .. uri)
  checkLatency(proc, route, tonumber(arg[3]), "as inserted")
  checkReduction(proc, false, "as inserted")

  local list = settings(5)
  local byName = controlNumbers(proc)
  for _, s in ipairs(list) do
    local n = byName[s.name]
    check(n ~= nil and ARDOUR.LuaAPI.set_processor_param(proc, n, s.value),
          "could not set " .. s.name .. " to " .. s.value)
  end
  checkValues(proc, list, "after setting")
  checkLatency(proc, route, tonumber(arg[4]), "after setting")
  checkReduction(proc, true, "after setting")
  check(session:save_state("", false, false, false, false, false) == 0, "saving failed")
  finish()
elseif mode == "reload" then
  local session = load_session(folder, "tessel")
  assert(session, "could not load the session in " .. folder)
  local found
  for route in session:get_routes():iter() do
    local proc = route:nth_plugin(0)
    if not proc:isnil() and proc:to_insert():plugin(0):unique_id() == uri then
      found = { proc = proc, route = route }
    end
  end
  assert(found, "the reloaded session holds no " .. uri)
  checkValues(found.proc, settings(4), "after reloading")
  checkLatency(found.proc, found.route, tonumber(arg[3]), "after reloading")
  checkReduction(found.proc, true, "after reloading")
  finish()
else
  error("usage: ardour-session.lua create|reload FOLDER ...", 0)
end
