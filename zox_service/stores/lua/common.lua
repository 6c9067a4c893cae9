-- Shared by the scripts below (prepended to each). Keys of a job are named from its id, so this
-- store runs on one Redis, not a cluster. A member is a small flag, the owner (32) and the id (32).
local HEAD = 45
local MEMBER = 65
-- Records up to this size travel in the message that tells polls their job ended, and a small
-- job's record in its bell entry.
local INLINE = 4096
-- An ended job's part of that message: its id, then the length of its record and the record.
local function ended(id, record)
  if record and #record <= INLINE then return id .. string.format('%06d', #record) .. record end
  return id .. '000000'
end
local function owner_of(m) return string.sub(m, 2, 33) end
local function id_of(m) return string.sub(m, 34) end
-- A held result is named by its owner, id and cost.
local function held_of(owner, id, cost) return owner .. id .. cost end
local function held_parts(h)
  return string.sub(h, 1, 32), string.sub(h, 33, 64), tonumber(string.sub(h, 65))
end
local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
-- An owner's counters are one string, "pending bytes vt" (problems unsolved, bytes held, the
-- virtual time of its last job), so that a submit reads them with the clock in one call.
local function counts_of(text)
  local p, b, v = string.match(text or '', '^(%-?%d+) (%-?%d+) (%-?%d+)$')
  return {tonumber(p) or 0, tonumber(b) or 0, tonumber(v) or 0}
end
local function counts_text(c) return string.format('%d %d %d', c[1], c[2], c[3]) end
-- Counter changes by owner, written once per owner however many jobs changed them.
local function add(owners, owner, pending, bytes)
  local o = owners[owner]
  if not o then o = {0, 0}; owners[owner] = o end
  o[1] = o[1] + pending
  o[2] = o[2] + bytes
end
local function write_counts(prefix, owners)
  for owner, o in pairs(owners) do
    if o[1] ~= 0 or o[2] ~= 0 then
      local key = prefix .. 'k:' .. owner
      local c = counts_of(redis.call('GET', key))
      redis.call('SET', key, counts_text({c[1] + o[1], c[2] + o[2], c[3]}), 'KEEPTTL')
    end
  end
end
-- An answer stored for a job: it counts its cost instead of what the job held until delivered
-- or expired (the held entry carries owner, id and cost), and its end is told.
local function answered(prefix, owners, out, now, m, ttl, record, cost, held_cost)
  redis.call('SET', prefix .. 'r:' .. id_of(m), record, 'PX', ttl)
  add(owners, owner_of(m), -1, cost - held_cost)
  out.held[#out.held + 1] = now + ttl
  out.held[#out.held + 1] = held_of(owner_of(m), id_of(m), cost)
  out.ended[#out.ended + 1] = ended(id_of(m), record)
end
-- A job not answered yet goes back to the queue at `score`, with a bell entry; false when it was
-- answered or is gone.
local function requeue(prefix, queue, bell, m, score)
  if redis.call('GETRANGE', prefix .. 'r:' .. id_of(m), 0, 0) ~= 'q' then return false end
  redis.call('ZADD', queue, score, m)
  redis.call('RPUSH', bell, 1)
  return true
end
-- Results delivered (held members): each stops counting against its owner the first time, and
-- its held entry moves to when the result is to go, marked by half a millisecond, so that the
-- sweep then deletes the result instead of giving its bytes back. A result delivered so late that
-- it would outlive its time to live keeps its entry, and counts until it expires. One call for one
-- member, two for more. Adds the bytes freed to `owners`.
local function deliver(held, members, ttl, now, owners)
  local at, first = now + tonumber(ttl) + 0.5, {}
  if #members == 1 then
    first[1] = redis.call('ZADD', held, 'XX', 'LT', 'CH', at, members[1]) == 1
  elseif #members > 1 then
    local scores, moved = redis.call('ZMSCORE', held, unpack(members)), {}
    for i, h in ipairs(members) do
      local score = tonumber(scores[i])
      first[i] = score ~= nil and score % 1 == 0 and at < score
      if first[i] then
        moved[#moved + 1] = at
        moved[#moved + 1] = h
      end
    end
    if #moved > 0 then redis.call('ZADD', held, 'XX', unpack(moved)) end
  end
  for i, h in ipairs(members) do
    if first[i] then
      local owner, _, cost = held_parts(h)
      add(owners, owner, 0, -cost)
    end
  end
end
-- Takes the next job in turn whose owner is not passed over and, if it is small, the small ones
-- right behind it (never past one that is not), up to `most` and the bell entries left; they are
-- kept under the consumer's claims until answered. Returns member and record of each.
-- keys: 1 queue, 2 virtual time, 3 the consumer's claims, 4 bell, 5 the consumer's hand; `took`:
-- bell entries the caller already took into its hand (0 or 1); `skip`: owners passed over.
local function take(keys, prefix, most, took, skip, skipping)
  if took > 0 then redis.call('LREM', keys[5], -1, 1) end
  if not skipping then
    -- Never the jobs of solvers already woken for them: one per bell entry taken off.
    most = math.min(most, took + redis.call('LLEN', keys[4]))
    if most == 0 then return {} end
  end
  -- Without owners to pass over the jobs wanted are at the head: taken off, and the rest put back.
  local seen = skipping and redis.call('ZRANGE', keys[1], 0, most + 63, 'WITHSCORES')
    or redis.call('ZPOPMIN', keys[1], most)
  local taken, rest, last, open = {}, {}, nil, true
  for i = 1, #seen, 2 do
    local m, wanted = seen[i], false
    if open and not skip[owner_of(m)] then
      local small = string.sub(m, 1, 1) == 's'
      wanted = #taken == 0 or small
      open = wanted and small  -- never past a job that is not small
    end
    if wanted then
      taken[#taken + 1] = m
      last = seen[i + 1]
      if #taken >= most then open = false end
    else
      rest[#rest + 1] = seen[i + 1]
      rest[#rest + 1] = m
    end
  end
  if #taken == 0 then
    -- Only owners passed over have work: the bell entry stays for a solver that may take it.
    if took > 0 and #seen > 0 then redis.call('RPUSH', keys[4], 1) end
    return {}
  end
  if skipping then redis.call('ZREM', keys[1], unpack(taken)) end
  if not skipping and #rest > 0 then redis.call('ZADD', keys[1], unpack(rest)) end
  redis.call('SET', keys[2], last)
  redis.call('SADD', keys[3], unpack(taken))
  local names = {}
  for i, m in ipairs(taken) do names[i] = prefix .. 'r:' .. id_of(m) end
  local records = redis.call('MGET', unpack(names))
  -- Their bell entries, from the end: a job that went with its entry waits at the head.
  if #taken > took then redis.call('LREM', keys[4], took - #taken, 1) end
  local out = {}
  for i, m in ipairs(taken) do
    out[#out + 1] = m
    out[#out + 1] = records[i] or ''
  end
  return out
end
