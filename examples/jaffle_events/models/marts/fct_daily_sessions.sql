{{ config(
    materialized='incremental',
    incremental_strategy='microbatch',
    event_time='session_started_at',
    batch_size='day',
    begin='2024-01-01',
) }}

select
    session_id,
    any_value(customer_id) as customer_id,
    min(occurred_at) as session_started_at,
    max(occurred_at) as session_ended_at,
    count(*) as events,
    count(*) filter (where event_name = 'checkout') > 0 as converted
from {{ ref('stg_events') }}
group by session_id
