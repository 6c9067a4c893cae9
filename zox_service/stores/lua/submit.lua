-- Admits jobs within the quotas, each in its turn: a job's virtual time is one past its owner's
-- last, and never behind the job last taken, so a key's flood waits behind one job of a key that
-- comes later. Results delivered since the last call stop counting first (as delivered.lua). With
-- no solver alive every job is refused: nothing would solve it. The bell, one entry per waiting
-- job, counts them for the quota on all. When nothing waits, the first job, if its record is short,
-- goes in its bell entry, member and record, not the queue: the solver it wakes takes it without
-- another call, and it was next in turn anyway. An owner's counters live twice as long as a waiting
-- job from its last job or delivery. A job the caller solved already (a tiny one) comes with its
-- answer: when its owner has nothing waiting, the answer is stored instead, held like any answer
-- until delivered, and no solver hears of it. Returns 'ok' (queued), 'answered' or the reason of
-- the refusal, for each job.
-- KEYS: 1 queue, 2 virtual time, 3 bell, 4 a key that lives while any solver does, 5 held results
-- ARGV: 1 prefix, 2 pending ttl ms, 3-8 limit and reason of: problems of a key, bytes of a key,
--       problems waiting in all; 9 delivered ttl ms, 10 the caller's clock (ms), 11 results
--       delivered, then their held members; then per job: member, cost, record, answer record
--       ('' for none), its cost, its ttl ms
local prefix, ttl = ARGV[1], ARGV[2]
local STRIDE = 6
local first_job = 12 + tonumber(ARGV[11])
local freed = {}  -- by owner: {0, minus the bytes delivered}
deliver(KEYS[5], {unpack(ARGV, 12, first_job - 1)}, ARGV[9], tonumber(ARGV[10]), freed)
local jobs, answers = (#ARGV - first_job + 1) / STRIDE, {}
-- The clock, whether a solver lives, and the counters of every owner concerned, in one call.
local names, owners, entries = {KEYS[2], KEYS[4]}, {}, {}
for i = first_job, #ARGV, STRIDE do
  local owner = owner_of(ARGV[i])
  if not owners[owner] then
    owners[owner] = #names + 1
    names[#names + 1] = prefix .. 'k:' .. owner
  end
end
for owner in pairs(freed) do
  if not owners[owner] then
    owners[owner] = #names + 1
    names[#names + 1] = prefix .. 'k:' .. owner
  end
end
local now = redis.call('MGET', unpack(names))
for owner, at in pairs(owners) do
  local c = counts_of(now[at])
  local gave = freed[owner] and freed[owner][2] or 0
  -- Counters that expired under jobs still out would come back below zero. An owner's counters
  -- are written back when a job or a delivery changed them.
  owners[owner] = {math.max(0, c[1]), math.max(0, c[2] + gave), c[3], gave ~= 0}
end
if jobs > 0 and not now[2] then
  for i = 1, jobs do answers[i] = 'no_solver' end
  jobs = 0
end
local vt, queued, direct, rang = tonumber(now[1] or '0'), 0, false, 0
if jobs > 0 then
  local rings = {}
  for i = 1, jobs do rings[i] = 1 end
  direct = #ARGV[first_job + 2] <= INLINE
  if direct then rings[1] = ARGV[first_job] .. ARGV[first_job + 2] end
  queued = redis.call('RPUSH', KEYS[3], unpack(rings)) - jobs
  rang = queued + jobs
  if direct and queued > 0 then  -- others wait: it waits in the queue too
    direct = false
    redis.call('LSET', KEYS[3], queued, 1)
  end
end
local held = {}
for i = first_job, jobs > 0 and #ARGV or 0, STRIDE do
  local m, cost = ARGV[i], tonumber(ARGV[i + 1])
  local o = owners[owner_of(m)]
  local answer = 'ok'
  if o[1] + 1 > tonumber(ARGV[3]) then answer = ARGV[4]
  elseif o[2] + cost > tonumber(ARGV[5]) then answer = ARGV[6]
  elseif queued + 1 > tonumber(ARGV[7]) then answer = ARGV[8]
  end
  local solved = answer == 'ok' and #ARGV[i + 3] > 0 and o[1] == 0
  direct = direct and i == first_job
  if direct and (answer ~= 'ok' or solved) then  -- its entry is left a plain one, or trimmed
    redis.call('LSET', KEYS[3], queued, 1)
    direct = false
  end
  if solved then
    -- Answered already: it holds its owner's bytes like any answer, and waits for nothing.
    local id, answer_cost, answer_ttl = id_of(m), tonumber(ARGV[i + 4]), tonumber(ARGV[i + 5])
    o[2], o[4] = o[2] + answer_cost, true
    redis.call('SET', prefix .. 'r:' .. id, ARGV[i + 3], 'PX', answer_ttl)
    held[#held + 1] = tonumber(ARGV[10]) + answer_ttl
    held[#held + 1] = held_of(owner_of(m), id, answer_cost)
    answer = 'answered'
  elseif answer == 'ok' then
    -- Taken at once, a job sent while nothing waits holds its owner at the clock: a client that
    -- waits for each answer never runs ahead of the others.
    local score = direct and vt + 1 or math.max(o[3] + 1, vt)
    o[1], o[2], o[3], o[4] = o[1] + 1, o[2] + cost, math.max(o[3], score), true
    queued = queued + 1
    redis.call('SET', prefix .. 'r:' .. id_of(m), ARGV[i + 2], 'PX', ttl)
    if not direct then
      entries[#entries + 1] = score
      entries[#entries + 1] = m
    end
  end
  answers[#answers + 1] = answer
end
for owner, o in pairs(owners) do
  if o[4] then
    redis.call('SET', prefix .. 'k:' .. owner, counts_text(o), 'PX', 2 * tonumber(ttl))
  end
end
if #entries > 0 then redis.call('ZADD', KEYS[1], unpack(entries)) end
if #held > 0 then redis.call('ZADD', KEYS[5], unpack(held)) end
if queued < rang then  -- the bell rang for jobs refused
  if queued == 0 then redis.call('DEL', KEYS[3]) else redis.call('LTRIM', KEYS[3], 0, queued - 1) end
end
return answers
